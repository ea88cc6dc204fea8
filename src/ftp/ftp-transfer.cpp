#include "ftp/ftp-transfer.h"

#include <utility>

#include "input/block-reader.h"
#include "capture/packet-builder.h"
#include "tcp/tcp-session.h"
#include "ftp/ftp-control.h"

namespace tracemint {

Connection ftpDataRecord(const Connection& control, bool passive) {
    Connection data;
    data.ipVersion = control.ipVersion;
    if (passive) {
        data.srcIPv4 = control.srcIPv4;
        data.dstIPv4 = control.dstIPv4;
        data.srcIPv6 = control.srcIPv6;
        data.dstIPv6 = control.dstIPv6;
        data.srcPort = static_cast<uint16_t>((nextRandom(*control.random) & 0x7FFF) + 1025);
        data.dataDirection = toClient;
    } else {
        data.srcIPv4 = control.dstIPv4;
        data.dstIPv4 = control.srcIPv4;
        data.srcIPv6 = control.dstIPv6;
        data.dstIPv6 = control.srcIPv6;
        data.srcPort = ftpDataServerPort;
        data.dataDirection = toServer;
    }
    // Built as for the control connection (direction 0 from the client), then
    // turned round when the server is the source side.
    buildEthernetHeaders(data);
    if (!passive) std::swap(data.ethForward, data.ethReverse);
    data.inFile = control.inFile;
    data.outFile = control.outFile;
    data.blockSize = control.blockSize;
    data.fileSize = control.fileSize;
    data.inFileName = control.inFileName;
    data.outFileName = control.outFileName;
    data.verbose = control.verbose;
    data.tsSec = control.tsSec;
    data.tsUsec = control.tsUsec;
    data.sharedClock = control.sharedClock;
    data.random = control.random;
    return data;
}

void writeFtpDataTransfer(Connection& data) {
    BlockReader reader = openBlockReader(*data.inFile);
    for (;;) {
        Bytes block = nextBlock(reader, static_cast<size_t>(data.blockSize));
        if (block.empty()) break;
        sendData(data, block, data.dataDirection);
    }
}

void runFtpTransfer(Connection& conn, bool passive) {
    Connection ftpDataConnection = ftpDataRecord(conn, passive);
    openConnection(conn);
    ftpDataConnection.dstPort =
        passive ? writeFtpPassiveDialogue(conn) : writeFtpActiveDialogue(conn);
    // The data handshake continues the shared clock where the dialogue left it.
    openConnection(ftpDataConnection);
    writeFtpDataTransfer(ftpDataConnection);
    closeConnection(ftpDataConnection);
    // Hand the time back, so the 226 reply follows the data teardown.
    conn.tsSec = ftpDataConnection.tsSec;
    conn.tsUsec = ftpDataConnection.tsUsec;
    writeFtpClosingDialogue(conn);
    closeConnection(conn);
}

}  // namespace tracemint
