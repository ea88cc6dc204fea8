#include "mail/smtp-dialogue.h"

namespace tracemint {

void runSmtpTransfer(Connection&) {}

}  // namespace tracemint
