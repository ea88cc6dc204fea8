#include "driver/run-driver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ctime>

#include "capture/capture-file.h"
#include "capture/capture-pieces.h"
#include "common/fatal-error.h"
#include "common/file-io.h"
#include "common/random.h"
#include "common/settings.h"
#include "driver/command-line.h"
#include "driver/network-options.h"
#include "ftp/ftp-transfer.h"
#include "http/http-exchange.h"
#include "http/http-gzip.h"
#include "http/url-path.h"
#include "http2/http2-exchange.h"
#include "input/block-reader.h"
#include "input/input-file.h"
#include "input/progress-meter.h"
#include "input/temp-file.h"
#include "input/transfer.h"
#include "ip/ip-layer.h"
#include "link/ethernet.h"
#include "mail/imap-dialogue.h"
#include "mail/pop3-dialogue.h"
#include "mail/smtp-dialogue.h"
#include "netcond/network-conditions.h"
#include "tcp/tcp-session.h"
#include "sink/capture-sink.h"
#include "sink/pending-files.h"
#include "timing/sim-clock.h"

namespace tracemint {
namespace {

// The checked options of the run, read by every input and never changed once
// the inputs start (several inputs may be written at once).
struct Run {
    Settings settings;
    bool verbose = false;
    std::string outFileName;  // the -o name, empty without -o
    std::vector<ModeRow> modes;
    std::optional<PortSpec> ports;
    uint64_t seed = 0;                      // --seed, else drawn from the environment
    std::optional<std::string> chosenName;  // --name
    CaptureFile format;                     // its format, resolution and section comment
    std::vector<std::string> inputs;
    // -o with several inputs or modes: every transfer goes into that one capture.
    bool combined = false;
    // Several conversations in one capture or one corpus: each has its own
    // client port (and FTP data port), counted on from portBase.
    bool ownPorts = false;
    uint32_t portBase = 0;
    unsigned jobs = 1;
    bool captureOnStdout = false;  // then every other line of standard output goes to err
};

// What one input owns while its transfers are written: the input, its
// captures, and its own layers between a dialogue and the capture, so that
// inputs written at once share nothing but the run's settings.
struct InputRun {
    InputFile input;
    struct stat inputStat {};
    std::string inputPath;      // as given ("stdin" for standard input)
    std::string announcedName;  // the name the conversation announces: --name, else inputPath
    std::vector<std::string> captureNames;  // one per mode, or the run's one capture
    std::string tempDirectory;              // for the gzip body, a spooled input, pieces
    CaptureFile capture;
    ProgressMeter progress;
    Random random;
    TimingSettings timing;
    PacketClock clock;
    NetworkConditions conditions;
    IpLayer ip;
    LinkLayer link;
    TcpStack tcp;

    InputRun() = default;
    InputRun(const InputRun&) = delete;
    InputRun& operator=(const InputRun&) = delete;
    ~InputRun() {
        clearProgress(progress);
        abandonCapture(capture);
        if (input.fd >= 0) ::close(input.fd);
    }
};

// A capture written into a private unnamed file, put in place when its turn
// comes: copied behind the header of the capture it belongs to, or, beside a
// capture of its own, made that capture.
struct Piece {
    int fd = -1;
    std::string name;  // the capture it belongs to
    // Made by createUnnamedCapture beside the capture: it becomes the capture,
    // its stamps moved where they lie, instead of being copied into it.
    bool ownCapture = false;
};

// What became of an input, reported in input order.
struct InputOutcome {
    std::string error;  // its Error line; empty when every transfer was written
    std::vector<Piece> pieces;
    uint32_t seconds = 0;  // the whole seconds its transfers span

    InputOutcome() = default;
    InputOutcome(const InputOutcome&) = delete;
    InputOutcome& operator=(const InputOutcome&) = delete;
    ~InputOutcome() { closePieces(); }
    void closePieces() {
        for (Piece& piece : pieces) {
            if (piece.fd >= 0) ::close(piece.fd);
            piece.fd = -1;
        }
    }
};

// Where an input's transfers go.
enum class Target {
    direct,    // its own captures, under their names, one after the other
    shared,    // the run's one capture, open already
    pieces,    // its own captures, as pieces
    onePiece,  // one piece for all its transfers, for the run's one capture
};

inline constexpr long long maxJobs = 1024;
// Own client ports run from 1025 to 65534, two per conversation.
inline constexpr uint32_t ownPortRange = 64510;
// The generator of the port numbering: an index no input has.
inline constexpr uint64_t portSeedIndex = UINT64_MAX;

[[noreturn]] void valueError(const std::string& message) {
    throw FatalError("Error: " + message, exitUsage);
}

bool modeNeedsUrlPath(Mode mode) {
    return mode == Mode::httpGet || mode == Mode::http2;
}

void applyEmailAddress(const std::optional<std::string>& text, const char* option,
                       const char* label, std::string& field, bool verbose, std::ostream& out) {
    if (!text) return;
    if (!isValidEmailAddress(*text)) {
        valueError(std::string(option) +
                   " takes 1 to 253 printable ASCII characters without spaces");
    }
    field = *text;
    if (verbose) out << "Using custom " << label << " email address: " << *text << "\n";
}

void openInput(InputRun& run, const std::string& path) {
    openInputFile(run.input, run.inputStat, path);
    // Standard input goes by its stand-in name in the transfer and the capture names.
    run.inputPath = path == "-" ? standardInputName : path;
}

void applyAddress(const std::optional<std::string>& text, const char* option, const char* label,
                  int ipVersion, std::array<uint8_t, 4>& v4, std::array<uint8_t, 16>& v6,
                  bool verbose, std::ostream& out) {
    if (!text) return;
    auto address = parseIpAddress(*text);
    if (!address) {
        valueError(std::string(option) +
                   " takes a dotted-quad IPv4 address or an IPv6 address, not '" + *text + "'");
    }
    // An address of the other family would be silently replaced by the default.
    if (address->version != ipVersion) {
        valueError(std::string(option) + " '" + *text + "' is an IPv" +
                   std::to_string(address->version) + " address but the run is IPv" +
                   std::to_string(ipVersion) +
                   (ipVersion == 4 ? " (-6 makes it IPv6)" : " (without -6 it is IPv4)"));
    }
    if (address->version == 4) {
        std::memcpy(v4.data(), address->bytes, 4);
    } else {
        std::memcpy(v6.data(), address->bytes, 16);
    }
    if (verbose) out << "Using custom " << label << " IP: " << *text << "\n";
}

// The client's and the server's addresses of the run's IP version.
void setAddresses(Settings& settings, const std::array<uint8_t, 4>& client4,
                  const std::array<uint8_t, 4>& server4, const std::array<uint8_t, 16>& client6,
                  const std::array<uint8_t, 16>& server6) {
    settings.clientIp = {};
    settings.serverIp = {};
    if (settings.ipVersion == 6) {
        settings.clientIp = client6;
        settings.serverIp = server6;
    } else {
        std::memcpy(settings.clientIp.data(), client4.data(), 4);
        std::memcpy(settings.serverIp.data(), server4.data(), 4);
    }
}

// The texts the conversation carries instead of the input path and the fixed
// defaults. Each is refused whole when it could break the line it stands on.
void applyConversationTexts(Run& run, const CommandLine& cl) {
    if (cl.name) {
        if (!isValidAnnouncedName(*cl.name)) {
            valueError(
                "--name takes 1 to 255 bytes without control characters (no CR, LF, tab, "
                "other bytes below 0x20 or DEL)");
        }
        run.chosenName = *cl.name;
    }
    if (cl.host) {
        if (!isValidHostName(*cl.host)) {
            valueError(
                "--host takes a host name of 1 to 253 letters, digits, dots, hyphens and "
                "underscores");
        }
        run.settings.texts.host = *cl.host;
    }
    if (cl.userAgent) {
        if (!isValidHeaderText(*cl.userAgent)) {
            valueError(
                "--user-agent takes 1 to 986 printable ASCII characters (no control "
                "characters, no space at either end)");
        }
        run.settings.texts.userAgent = *cl.userAgent;
    }
    if (cl.contentType) {
        if (!isValidMimeType(*cl.contentType)) {
            valueError(
                "--content-type takes a MIME type such as text/plain or "
                "\"text/plain; charset=utf-8\" (type/subtype, then optional ; "
                "attribute=value, printable ASCII, at most 255 characters)");
        }
        run.settings.texts.contentType = *cl.contentType;
    }
}

bool endsWithPcapng(const std::string& name) {
    constexpr std::string_view suffix = ".pcapng";
    if (name.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char c = name[name.size() - suffix.size() + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i]) return false;
    }
    return true;
}

// The container, its stamps and its notes. Packet comments exist in pcapng
// only: --annotate chooses it unless --format says pcap, which is refused.
void applyCaptureFormat(Run& run, const CommandLine& cl) {
    CaptureFile& capture = run.format;
    if (cl.format) {
        if (*cl.format == "pcapng") {
            capture.format = CaptureFormat::pcapng;
        } else if (*cl.format != "pcap") {
            valueError("--format takes pcap or pcapng, not '" + *cl.format + "'");
        }
    } else if ((cl.outFile && endsWithPcapng(*cl.outFile)) || cl.annotate) {
        capture.format = CaptureFormat::pcapng;
    }
    if (cl.annotate && capture.format != CaptureFormat::pcapng) {
        valueError(
            "--annotate writes packet comments, which only pcapng holds (not --format pcap)");
    }
    capture.resolution = cl.nanosecond ? TimeResolution::nanosecond : TimeResolution::microsecond;
    const std::string options = optionsText(cl);
    capture.sectionComment = std::string(captureApplication) +
                             (options.empty() ? ", default options" : ", options: " + options);
    run.settings.annotate = cl.annotate;
}

// The mode's capture suffix, "-smtp.pcap" or "-smtp.pcapng".
std::string captureSuffix(const Run& run, const ModeRow& row) {
    return std::string(row.suffix) + (run.format.format == CaptureFormat::pcapng ? "ng" : "");
}

bool sameFile(const std::string& name, const struct stat& input) {
    struct stat st {};
    return retryInterrupted([&] { return ::stat(name.c_str(), &st); }) == 0 &&
           st.st_dev == input.st_dev && st.st_ino == input.st_ino;
}

// Everything that can be refused is refused here, before the first capture.
// With one input, that input is opened in the middle, as ever: a missing input
// is reported before a malformed port or encoder.
void prepareRun(Run& run, const CommandLine& cl, InputRun* single, std::ostream& stdOut,
                std::ostream& err) {
    Settings& settings = run.settings;
    run.captureOnStdout = cl.outFile && !cl.outFile->empty() && sinkIsStandardOutput(*cl.outFile);
    std::ostream& out = run.captureOnStdout ? err : stdOut;
    run.verbose = cl.verbose;
    settings.ipVersion = cl.ipv6 ? 6 : 4;
    applyNetworkOptions(cl, static_cast<uint64_t>(std::time(nullptr)), settings);
    std::optional<uint64_t> seed;
    if (cl.seed) {
        seed = parseSeed(*cl.seed);
        if (!seed) valueError("--seed takes an unsigned integer, not '" + *cl.seed + "'");
    }
    applyEmailAddress(cl.srcEmail, "--srcemail", "source", settings.srcEmail, run.verbose, out);
    applyEmailAddress(cl.dstEmail, "--dstemail", "destination", settings.dstEmail, run.verbose,
                      out);
    if (cl.inputs.empty()) {
        throw FatalError("Error: Input file not found: no input file given\n" + usageText(),
                         exitUsage);
    }
    if (single != nullptr) openInput(*single, cl.inputs.front());
    std::array<uint8_t, 4> client4{}, server4{};
    std::array<uint8_t, 16> client6{}, server6{};
    inet_pton(AF_INET, defaultClientIPv4, client4.data());
    inet_pton(AF_INET, defaultServerIPv4, server4.data());
    inet_pton(AF_INET6, defaultClientIPv6, client6.data());
    inet_pton(AF_INET6, defaultServerIPv6, server6.data());
    applyAddress(cl.srcIp, "--srcip", "source", settings.ipVersion, client4, client6, run.verbose,
                 out);
    applyAddress(cl.dstIp, "--dstip", "destination", settings.ipVersion, server4, server6,
                 run.verbose, out);
    setAddresses(settings, client4, server4, client6, server6);
    applyConversationTexts(run, cl);
    applyCaptureFormat(run, cl);
    if (cl.outFile) {
        if (cl.outFile->empty()) valueError("-o/--outfile needs a file name");
        if (single != nullptr && sameFile(*cl.outFile, single->inputStat)) {
            throw FatalError("Error: " + *cl.outFile + ": Output file cannot be input file!",
                             exitFailure);
        }
        run.outFileName = *cl.outFile;
    }
    if (cl.port) {
        run.ports = parsePortSpec(*cl.port);
        if (!run.ports) {
            valueError("-p/--port takes DST or SRC:DST, each an integer from 1 to 65535, not '" +
                       *cl.port + "'");
        }
    }
    if (cl.emailEncoder) {
        auto encoding = parseInteger(*cl.emailEncoder, 0, 2);
        if (!encoding) {
            valueError(
                "-e/--email-encoder takes 0 (base64), 1 (quoted-printable) or 2 (UU), not '" +
                *cl.emailEncoder + "'");
        }
        settings.emailEncoding = static_cast<uint8_t>(*encoding);
    }
    if (cl.httpEncoder) {
        auto encoder = parseInteger(*cl.httpEncoder, 0, 3);
        if (!encoder) {
            valueError(
                "--http-encoder takes 0 (plain), 1 (gzip), 2 (chunked) or 3 (gzip and chunked), "
                "not '" +
                *cl.httpEncoder + "'");
        }
        settings.httpEncoder = static_cast<uint8_t>(httpPlain + *encoder);
    }
    if (cl.gzipLevel) {
        auto level = parseInteger(*cl.gzipLevel, gzipMinLevel, gzipMaxLevel);
        if (!level) valueError("--gzip-level takes 0, 1, 2 or 3, not '" + *cl.gzipLevel + "'");
        settings.gzipLevel = static_cast<int>(*level);
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    run.jobs = cores;
    if (cl.jobs) {
        auto jobs = parseInteger(*cl.jobs, 1, maxJobs);
        if (!jobs) valueError("--jobs takes an integer from 1 to 1024, not '" + *cl.jobs + "'");
        run.jobs = static_cast<unsigned>(*jobs);
    }

    run.modes = parseModeList(cl.mode.value_or("h"));
    run.inputs = cl.inputs;
    run.combined = cl.outFile && (run.modes.size() > 1 || run.inputs.size() > 1);
    if (run.modes.size() > 1 && run.ports) {
        err << "Specifying a destination port is not possible when using multiple modes. "
               "Switching to default destination ports.\n";
        // A source port given with it still applies to every mode.
        run.ports->destination = 0;
    }
    run.seed = seed ? *seed : seedFromEnvironment();
    // Every conversation of a shared capture, or of a corpus whose captures may
    // be merged, has its own client port; one input's separate captures keep the
    // port they always had.
    run.ownPorts = run.combined || run.inputs.size() > 1;
    if (run.ownPorts) {
        Random ports = seededRandom(inputSeed(run.seed, portSeedIndex));
        run.portBase = nextRandom(ports) % ownPortRange;
    }
}

// The checks of one input against the run: the name it announces fits a URL
// path, and none of its captures is the input itself or has an overlong name.
void checkInput(const Run& run, InputRun& input) {
    input.announcedName = run.chosenName ? *run.chosenName : input.inputPath;
    for (const ModeRow& row : run.modes) {
        if (modeNeedsUrlPath(row.mode) && !encodeUrlPath(input.announcedName)) {
            throw FatalError("Error: " + input.announcedName + ": " + urlEncoderTooLong,
                             exitFailure);
        }
    }
    if (run.combined) {
        if (sameFile(run.outFileName, input.inputStat)) {
            throw FatalError("Error: " + run.outFileName + ": Output file cannot be input file!",
                             exitFailure);
        }
        input.captureNames.assign(1, run.outFileName);
    } else {
        for (const ModeRow& row : run.modes) {
            std::string name =
                composeCaptureName(run.outFileName, input.inputPath, captureSuffix(run, row));
            if (sameFile(name, input.inputStat)) {
                throw FatalError("Error: " + name + ": Output file cannot be input file!",
                                 exitFailure);
            }
            if (hasOverlongComponent(name)) {
                throw FatalError(systemErrorText(name, ENAMETOOLONG), exitFailure);
            }
            input.captureNames.push_back(std::move(name));
        }
    }
    // Helper files go beside the captures, unless the captures go to a device
    // or standard output.
    int error = 0;
    const std::string& first = input.captureNames.front();
    input.tempDirectory = sinkKindOf(first, error) == SinkKind::replaceName
                              ? directoryOf(first)
                              : fallbackTempDirectory();
}

// An input whose size cannot be trusted is read once into a private temporary
// file, so its size is known and every mode carries all of it.
void makeInputRegular(InputRun& run, bool showProgress) {
    if (!readsLikeAPipe(run.input.fd, run.inputStat)) return;
    if (showProgress) {
        run.progress = makeReadingMeter(STDERR_FILENO);
        startProgress(run.progress, run.input.name);
    }
    spoolInput(run.input, run.tempDirectory, run.progress);
}

// Standard output that takes no more text ends the run like any failed write.
// Callers clear errno before they write, so it holds the failed write's reason.
void checkStandardOutput(std::ostream& out) {
    if (out.flush()) return;
    throw FatalError(systemErrorText("standard output", errno ? errno : EIO), exitFailure);
}

void runMode(TcpSession& session, const Transfer& file, const ModeRow& row) {
    switch (row.mode) {
        case Mode::httpGet: runHttpGetTransfer(session, file); break;
        case Mode::httpPost: runHttpPostTransfer(session, file); break;
        case Mode::http2: runHttp2Transfer(session, file); break;
        case Mode::smtp: runSmtpTransfer(session, file); break;
        case Mode::pop3: runPop3Transfer(session, file); break;
        case Mode::imap: runImapTransfer(session, file); break;
        case Mode::ftpActive: runFtpTransfer(session, file, false); break;
        case Mode::ftpPassive: runFtpTransfer(session, file, true); break;
    }
}

// Wires the input's layers, top to bottom: TCP, network conditions, IP, link,
// capture. Its generator is its own (the first input's is the run's), and its
// clock starts `offset` whole seconds after the run's start.
void buildPipeline(const Run& run, InputRun& input, size_t index, uint32_t offset,
                   CaptureFile& capture) {
    input.random = seededRandom(inputSeed(run.seed, index));
    input.timing = run.settings.timing;
    const uint64_t shiftNs = uint64_t{offset} * 1000000000u;
    input.timing.startNs += shiftNs;
    input.clock = startPacketClock(input.timing);
    input.link.settings = &run.settings.link;
    input.link.capture = &capture;
    input.ip.ttl = run.settings.ttl;
    input.ip.random = &input.random;
    input.ip.link = &input.link;
    startNetworkConditions(input.conditions, run.settings.conditions, input.random, input.ip,
                           &input.clock, run.settings.timing.rttNs);
    startTcpStack(input.tcp, run.settings, input.random, input.clock, input.conditions);
    input.tcp.timestampShiftNs = shiftNs;
}

void copyCaptureFormat(const Run& run, CaptureFile& capture) {
    capture.format = run.format.format;
    capture.resolution = run.format.resolution;
    capture.sectionComment = run.format.sectionComment;
    capture.lastStampNs = 0;
    capture.written = false;
}

uint16_t ownPort(const Run& run, uint64_t conversation, uint32_t which) {
    return static_cast<uint16_t>(1025 + (run.portBase + 2 * conversation + which) % ownPortRange);
}

// One input's transfers, mode by mode. `out` is null for an input written
// beside others, which says nothing until its turn comes.
void writeTransfers(const Run& run, InputRun& input, size_t index, uint32_t offset, Target target,
                    CaptureFile* shared, std::ostream* out, InputOutcome& outcome) {
    CaptureFile& capture = target == Target::shared ? *shared : input.capture;
    copyCaptureFormat(run, input.capture);
    buildPipeline(run, input, index, offset, capture);
    const Settings& settings = run.settings;
    Flow flow;
    flow.ipVersion = settings.ipVersion;
    flow.source.ip = settings.clientIp;
    flow.source.mac = settings.link.clientMac;
    flow.destination.ip = settings.serverIp;
    flow.destination.mac = settings.link.serverMac;
    flow.source.port = static_cast<uint16_t>((nextRandom(input.random) & 0x7FFF) + 1025);
    const bool fixedSource = run.ports && run.ports->source;
    if (fixedSource) flow.source.port = *run.ports->source;

    if (out != nullptr) input.progress = makeProgressMeter(STDERR_FILENO, input.input.size);
    input.input.progress = &input.progress;
    Transfer file;
    file.input = &input.input;
    file.fileSize = input.input.size;
    file.name = input.announcedName;
    file.blockSize = settings.blockSize;
    file.settings = &run.settings;
    file.random = &input.random;
    file.tempDirectory = input.tempDirectory;

    bool ownCapture = false;
    if (target == Target::onePiece) {
        const int fd = createPrivateTempFile(input.tempDirectory, "capture piece");
        openPiece(input.capture, fd, run.outFileName);
    }
    for (size_t i = 0; i < run.modes.size(); ++i) {
        const ModeRow& row = run.modes[i];
        flow.destination.port =
            (run.ports && run.ports->destination != 0) ? run.ports->destination : row.defaultPort;
        if (run.ownPorts) {
            const uint64_t conversation = index * run.modes.size() + i;
            if (!fixedSource) flow.source.port = ownPort(run, conversation, 0);
            file.ftpDataPort = ownPort(run, conversation, 1);
        }
        const std::string& name = input.captureNames[run.combined ? 0 : i];
        if (target == Target::direct) {
            errno = 0;
            *out << "Writing to " << name << "\n";
            checkStandardOutput(*out);
            openOutput(input.capture, name);
            startProgress(input.progress, name);
        } else if (target == Target::pieces) {
            // Beside its capture, the piece can become the capture; elsewhere
            // (the capture goes to a device), it is copied there.
            int fd = input.tempDirectory == directoryOf(name)
                         ? createUnnamedCapture(input.tempDirectory)
                         : -1;
            ownCapture = fd >= 0;
            if (fd < 0) fd = createPrivateTempFile(input.tempDirectory, "capture piece");
            openPiece(input.capture, fd, name);
        }
        TcpSession session = newSession(input.tcp, flow);
        runMode(session, file, row);
        flushPendingAcks(input.tcp);
        flushConditions(input.conditions);
        if (target == Target::direct) {
            closeCapture(input.capture);
            clearProgress(input.progress);
        } else if (target == Target::pieces) {
            const int fd = input.capture.sink.fd;
            finishPiece(input.capture);
            outcome.pieces.push_back({fd, name, ownCapture});
        }
    }
    if (target == Target::onePiece) {
        const int fd = input.capture.sink.fd;
        finishPiece(input.capture);
        outcome.pieces.push_back({fd, run.outFileName});
    }
}

// The whole seconds from the input's start to its last packet, the second of
// that packet included; none when it wrote nothing.
uint32_t secondsSpanned(const InputRun& input, const CaptureFile& capture) {
    if (!capture.written) return 0;
    const uint64_t start = input.timing.startNs / 1000000000u;
    return static_cast<uint32_t>(capture.lastStampNs / 1000000000u - start + 1);
}

std::string errorLine(const std::string& message) {
    std::string line = message.rfind("Error", 0) == 0 ? message : "Error: " + message;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

// One input of several, from its path to its last transfer; a failure is the
// input's own: its captures in progress and its pieces are dropped.
void runInput(const Run& run, size_t index, uint32_t offset, Target target, std::ostream* out,
              InputOutcome& outcome) {
    InputRun input;
    try {
        openInput(input, run.inputs[index]);
        checkInput(run, input);
        makeInputRegular(input, out != nullptr);
        writeTransfers(run, input, index, offset, target, nullptr, out, outcome);
        outcome.seconds = secondsSpanned(input, input.capture);
    } catch (const std::exception& error) {
        outcome.error = errorLine(error.what());
        outcome.closePieces();
        outcome.pieces.clear();
        outcome.seconds = 0;
    }
}

// Puts an input's pieces in place, moved to its place in time: each into its
// own capture, or all into the run's one capture.
void placePieces(const Run& run, InputOutcome& outcome, uint32_t offset, CaptureFile* shared,
                 CaptureFile& own, std::ostream& out) {
    for (Piece& piece : outcome.pieces) {
        if (shared != nullptr) {
            appendPiece(*shared, piece.fd, piece.name, offset);
            continue;
        }
        errno = 0;
        out << "Writing to " << piece.name << "\n";
        checkStandardOutput(out);
        // A capture that cannot be put in place fails its input only, and the
        // input's later captures with it, as when the input is written straight
        // into its captures.
        try {
            copyCaptureFormat(run, own);
            if (piece.ownCapture && adoptUnnamedCapture(own.sink, piece.name, piece.fd)) {
                const int fd = piece.fd;
                piece.fd = -1;  // the capture's now
                if (offset != 0) {
                    shiftPieceInPlace(fd, piece.name, own.format, own.resolution, offset);
                }
            } else {
                openOutput(own, piece.name);
                appendPiece(own, piece.fd, piece.name, offset);
            }
            closeCapture(own);
        } catch (const std::exception& error) {
            abandonCapture(own);
            outcome.error = errorLine(error.what());
            outcome.seconds = 0;
            break;
        }
    }
    outcome.closePieces();
}

// Several inputs, input by input, mode by mode. Each input's clock starts at the
// whole second after the previous input's last packet, and its generator is its
// own, so what an input writes does not depend on how the others were written:
// inputs written at once write pieces with the clock at the run's start, and the
// pieces are moved in time and put in place in input order, which gives byte for
// byte the captures of a run that writes the inputs one by one. Into one
// capture, each input goes as a piece, so an input that fails leaves nothing of
// itself there.
// No capture of the run may be one of its inputs: a later input would be read
// after an earlier one's capture replaced it, and the one capture of -o would
// replace an input at the end. Refused before the first capture, as with one input.
// Two inputs of one name in different directories would also give one capture
// name: the later input fails (its Error line in its turn) rather than replace
// the earlier one's captures. Returns that Error line per input, empty for most.
std::vector<std::string> refuseCapturesOverInputs(const Run& run) {
    std::set<std::pair<dev_t, ino_t>> inputs;
    for (const std::string& path : run.inputs) {
        struct stat st {};
        if (path != "-" && retryInterrupted([&] { return ::stat(path.c_str(), &st); }) == 0) {
            inputs.emplace(st.st_dev, st.st_ino);
        }
    }
    // One look at each name, whatever the number of inputs.
    auto refuse = [&](const std::string& name) {
        struct stat st {};
        if (retryInterrupted([&] { return ::stat(name.c_str(), &st); }) == 0 &&
            inputs.count({st.st_dev, st.st_ino}) != 0) {
            throw FatalError("Error: " + name + ": Output file cannot be input file!",
                             exitFailure);
        }
    };
    std::vector<std::string> clashes(run.inputs.size());
    if (run.combined) {
        refuse(run.outFileName);
        return clashes;
    }
    std::map<std::string, size_t> firstWriter;
    for (size_t index = 0; index < run.inputs.size(); ++index) {
        const std::string& path = run.inputs[index];
        for (const ModeRow& row : run.modes) {
            std::string name = composeCaptureName(
                run.outFileName, path == "-" ? standardInputName : path, captureSuffix(run, row));
            refuse(name);
            auto [earlier, isNew] = firstWriter.emplace(name, index);
            if (!isNew && earlier->second != index && clashes[index].empty()) {
                clashes[index] = "Error: " + path + ": its capture " + name +
                                 " is the capture of an earlier input (" +
                                 run.inputs[earlier->second] + "); use -o to put both in one";
            }
        }
    }
    return clashes;
}

int writeInputs(const Run& run, std::ostream& stdOut, std::ostream& err) {
    std::ostream& out = run.captureOnStdout ? err : stdOut;
    const size_t count = run.inputs.size();
    const std::vector<std::string> clashes = refuseCapturesOverInputs(run);
    CaptureFile shared;
    CaptureFile own;  // a capture put together from its piece
    copyCaptureFormat(run, shared);
    CaptureFile* sharedCapture = nullptr;
    if (run.combined) {
        errno = 0;
        out << "Writing to " << run.outFileName << "\n";
        checkStandardOutput(out);
        openOutput(shared, run.outFileName);
        sharedCapture = &shared;
    }
    size_t failures = 0;
    uint32_t offset = 0;
    auto report = [&](InputOutcome& outcome) {
        if (!outcome.error.empty()) {
            err << outcome.error << "\n";
            ++failures;
        }
        offset += outcome.seconds;
    };

    const unsigned jobs = static_cast<unsigned>(std::min<size_t>(run.jobs, count));
    try {
        if (jobs <= 1) {
            for (size_t index = 0; index < count; ++index) {
                // An input written straight into its captures starts at its
                // place in time; a piece is moved there when it is put in place.
                InputOutcome outcome;
                if (!clashes[index].empty()) {
                    outcome.error = clashes[index];
                } else if (run.combined) {
                    runInput(run, index, 0, Target::onePiece, &out, outcome);
                } else {
                    runInput(run, index, offset, Target::direct, &out, outcome);
                }
                placePieces(run, outcome, offset, sharedCapture, own, out);
                report(outcome);
            }
        } else {
            // Workers take the inputs in order and run at most `window` inputs
            // ahead of the one whose turn it is, so few pieces wait at once.
            const size_t window = 2 * size_t{jobs};
            std::vector<InputOutcome> outcomes(count);
            std::vector<char> done(count, 0);
            std::mutex mutex;
            std::condition_variable changed;
            size_t next = 0;
            size_t turn = 0;
            bool stop = false;
            auto worker = [&] {
                for (;;) {
                    size_t index = 0;
                    {
                        std::unique_lock<std::mutex> lock(mutex);
                        changed.wait(lock, [&] { return stop || next < std::min(count, turn + window); });
                        if (stop || next >= count) return;
                        index = next++;
                    }
                    if (!clashes[index].empty()) {
                        outcomes[index].error = clashes[index];
                    } else {
                        runInput(run, index, 0, run.combined ? Target::onePiece : Target::pieces,
                                 nullptr, outcomes[index]);
                    }
                    std::lock_guard<std::mutex> lock(mutex);
                    done[index] = 1;
                    changed.notify_all();
                }
            };
            std::vector<std::thread> workers;
            auto stopWorkers = [&] {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    stop = true;
                    changed.notify_all();
                }
                for (std::thread& thread : workers) thread.join();
                workers.clear();
            };
            try {
                {
                    // A termination signal must reach the thread that names
                    // files, between its steps: the workers write unnamed files
                    // only, and a thread starts with its creator's signal mask.
                    TerminationSignalsBlocked blocked;
                    for (unsigned i = 0; i < jobs; ++i) workers.emplace_back(worker);
                }
                for (size_t index = 0; index < count; ++index) {
                    {
                        std::unique_lock<std::mutex> lock(mutex);
                        changed.wait(lock, [&] { return done[index] != 0; });
                    }
                    placePieces(run, outcomes[index], offset, sharedCapture, own, out);
                    report(outcomes[index]);
                    std::lock_guard<std::mutex> lock(mutex);
                    turn = index + 1;
                    changed.notify_all();
                }
            } catch (...) {
                stopWorkers();
                throw;
            }
            stopWorkers();
        }
        // One capture of nothing, when every input failed, would replace a
        // file of that name with a capture that looks whole: none is made.
        if (run.combined && failures < count) closeCapture(shared);
        if (run.combined && failures == count) abandonCapture(shared);
    } catch (...) {
        abandonCapture(own);
        abandonCapture(shared);
        throw;
    }
    return failures > 0 ? exitFailure : exitSuccess;
}

// One input, as ever: its captures one by one, or, with -o and several modes,
// every transfer into that one capture.
void writeSingleInput(const Run& run, InputRun& input, std::ostream& stdOut, std::ostream& err) {
    std::ostream& out = run.captureOnStdout ? err : stdOut;
    InputOutcome outcome;
    if (!run.combined) {
        writeTransfers(run, input, 0, 0, Target::direct, nullptr, &out, outcome);
        return;
    }
    errno = 0;
    out << "Writing to " << run.outFileName << "\n";
    checkStandardOutput(out);
    CaptureFile& shared = input.capture;
    copyCaptureFormat(run, shared);
    openOutput(shared, run.outFileName);
    startProgress(input.progress, run.outFileName);
    writeTransfers(run, input, 0, 0, Target::shared, &shared, &out, outcome);
    closeCapture(shared);
    clearProgress(input.progress);
}

void printMessage(std::ostream& out, const std::string& message) {
    out << message;
    if (message.empty() || message.back() != '\n') out << "\n";
}

}  // namespace

int runTracemint(int argc, char* argv[], std::ostream& out, std::ostream& err) {
    removePendingFilesOnSignals();
    Run run;
    InputRun first;
    int status = exitSuccess;
    errno = 0;
    try {
        CommandLine cl = parseCommandLine(argc, argv);
        if (cl.empty || cl.help) {
            out << usageText();
        } else if (cl.version) {
            out << versionText << "\n";
        } else if (cl.inputs.size() <= 1) {
            prepareRun(run, cl, &first, out, err);
            checkInput(run, first);
            makeInputRegular(first, true);
            writeSingleInput(run, first, out, err);
        } else {
            prepareRun(run, cl, nullptr, out, err);
            status = writeInputs(run, out, err);
        }
        checkStandardOutput(out);
    } catch (const FatalError& error) {
        // The capture in progress is removed: a capture is whole or absent.
        clearProgress(first.progress);
        abandonCapture(first.capture);
        printMessage(err, error.what());
        status = error.status;
    } catch (const std::exception& error) {
        clearProgress(first.progress);
        abandonCapture(first.capture);
        printMessage(err, std::string("Error: ") + error.what());
        status = exitFailure;
    }
    err.flush();
    return status;  // `first` closes its input as it goes
}

}  // namespace tracemint
