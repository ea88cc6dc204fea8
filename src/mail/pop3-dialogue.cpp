#include "mail/pop3-dialogue.h"

namespace tracemint {

void runPop3Transfer(Connection&) {}

}  // namespace tracemint
