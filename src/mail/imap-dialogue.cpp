#include "mail/imap-dialogue.h"

namespace tracemint {

void runImapTransfer(Connection&) {}

}  // namespace tracemint
