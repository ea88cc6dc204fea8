#include "ftp/ftp-transfer.h"

namespace tracemint {

void runFtpTransfer(Connection&, bool) {}

}  // namespace tracemint
