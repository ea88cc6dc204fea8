#include "ftp/ftp-transfer.h"

#include <string>

#include "ftp/ftp-control.h"
#include "input/block-reader.h"

namespace tracemint {

Flow ftpDataFlow(const Flow& control, bool passive, Random& random, uint16_t clientPort) {
    Flow data;
    data.ipVersion = control.ipVersion;
    if (passive) {
        data.source = control.source;
        data.destination = control.destination;
        data.source.port = static_cast<uint16_t>((nextRandom(random) & 0x7FFF) + 1025);
        if (clientPort != 0) data.source.port = clientPort;
    } else {
        data.source = control.destination;
        data.destination = control.source;
        data.source.port = ftpDataServerPort;
    }
    data.destination.port = 0;
    return data;
}

void writeFtpDataTransfer(TcpSession& data, const Transfer& file, uint8_t direction) {
    BlockReader reader = openBlockReader(file);
    uint64_t sent = 0;
    for (;;) {
        Bytes block = nextBlock(reader, static_cast<size_t>(file.blockSize));
        if (block.empty()) break;
        sent += block.size();
        buildNote(data, [&](std::string& note) {
            note.append("FTP data: ")
                .append(std::to_string(sent))
                .append(" of ")
                .append(std::to_string(file.fileSize))
                .append(" bytes");
        });
        data.filePieces = 0b1;
        sendData(data, block, direction);
        data.filePieces = 0;
    }
}

void runFtpTransfer(TcpSession& conn, const Transfer& file, bool passive) {
    TcpSession data =
        newSession(*conn.stack, ftpDataFlow(conn.flow, passive, *file.random, file.ftpDataPort));
    conn.protocol = "FTP";
    data.protocol = "FTP data";
    openConnection(conn);
    data.flow.destination.port =
        passive ? writeFtpPassiveDialogue(conn, file) : writeFtpActiveDialogue(conn, file);
    // The data connection continues the run's clock where the dialogue left it,
    // so the 226 reply follows its teardown.
    openConnection(data);
    writeFtpDataTransfer(data, file, ftpDataDirection(passive));
    closeConnection(data);
    writeFtpClosingDialogue(conn);
    closeConnection(conn);
}

}  // namespace tracemint
