#include "tcp/tcp-session.h"

#include "capture/packet-builder.h"

namespace tracemint {
namespace {

void loadClock(Connection& conn) {
    conn.sharedClock->sec = conn.tsSec;
    conn.sharedClock->usec = conn.tsUsec;
}

void storeClock(Connection& conn) {
    conn.tsSec = conn.sharedClock->sec;
    conn.tsUsec = conn.sharedClock->usec;
}

uint32_t initialSequenceNumber(Connection& conn) {
    return (nextRandom(*conn.random) & 0xFFF) + 1;
}

void controlPacket(Connection& conn, uint8_t direction, uint8_t flags) {
    advanceClockWithRollover(*conn.sharedClock);
    writeSegment(conn, {}, direction, flags);
}

}  // namespace

void openConnection(Connection& conn) {
    conn.srcSeq = initialSequenceNumber(conn);
    conn.dstSeq = 0;
    controlPacket(conn, toServer, tcpSyn);
    conn.dstSeq = initialSequenceNumber(conn);
    conn.srcSeq += 1;
    controlPacket(conn, toClient, tcpSynAck);
    conn.dstSeq += 1;
    controlPacket(conn, toServer, tcpAck);
    storeClock(conn);
}

void sendData(Connection& conn, std::initializer_list<Bytes> pieces, uint8_t direction) {
    loadClock(conn);
    advanceClockWithRollover(*conn.sharedClock);
    writeSegment(conn, pieces, direction, tcpPshAck);
    advanceClock(*conn.sharedClock);
    writeSegment(conn, {}, direction == 0 ? 1 : 0, tcpAck);
    storeClock(conn);
}

void sendData(Connection& conn, Bytes bytes, uint8_t direction) {
    sendData(conn, {bytes}, direction);
}

void sendMessage(Connection& conn, std::string_view text, uint8_t direction) {
    sendData(conn, {asBytes(text)}, direction);
}

void closeConnection(Connection& conn) {
    loadClock(conn);
    controlPacket(conn, toClient, tcpFinAck);
    conn.dstSeq += 1;
    controlPacket(conn, toServer, tcpAck);
    controlPacket(conn, toServer, tcpFinAck);
    conn.srcSeq += 1;
    controlPacket(conn, toClient, tcpAck);
    storeClock(conn);
}

}  // namespace tracemint
