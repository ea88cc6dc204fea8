#include "driver/run-driver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <ctime>

#include "capture/capture-file.h"
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

// What the run owns: its settings, the input, the current capture, the clock,
// the generator, and the layers between a dialogue and the capture.
struct Run {
    Settings settings;
    bool verbose = false;
    std::string outFileName;  // the -o name, empty without -o
    InputFile input;
    CaptureFile capture;
    ProgressMeter progress;
    Random random;
    PacketClock clock;
    NetworkConditions conditions;
    IpLayer ip;
    LinkLayer link;
    TcpStack tcp;
    std::vector<ModeRow> modes;
    std::optional<PortSpec> ports;
    std::optional<uint64_t> seed;
    std::string inputPath;      // as given ("stdin" for standard input)
    std::string announcedName;  // the name the conversation announces: --name, else inputPath
    struct stat inputStat {};
    std::vector<std::string> captureNames;  // one per mode, in order
    bool captureOnStdout = false;  // then every other line of standard output goes to err
    std::string tempDirectory;     // for the gzip body and a spooled input
};

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

void openInput(Run& run, const CommandLine& cl) {
    if (!cl.inputPath) {
        throw FatalError("Error: Input file not found: no input file given\n" + usageText(),
                         exitUsage);
    }
    openInputFile(run.input, run.inputStat, *cl.inputPath);
    // Standard input goes by its stand-in name in the transfer and the capture names.
    run.inputPath = *cl.inputPath == "-" ? standardInputName : *cl.inputPath;
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
        run.announcedName = *cl.name;
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
    CaptureFile& capture = run.capture;
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
    return std::string(row.suffix) + (run.capture.format == CaptureFormat::pcapng ? "ng" : "");
}

bool sameFile(const std::string& name, const struct stat& input) {
    struct stat st {};
    return retryInterrupted([&] { return ::stat(name.c_str(), &st); }) == 0 &&
           st.st_dev == input.st_dev && st.st_ino == input.st_ino;
}

// Everything that can be refused is refused here, before the first capture.
void prepareRun(Run& run, const CommandLine& cl, std::ostream& stdOut, std::ostream& err) {
    Settings& settings = run.settings;
    run.captureOnStdout = cl.outFile && !cl.outFile->empty() && sinkIsStandardOutput(*cl.outFile);
    std::ostream& out = run.captureOnStdout ? err : stdOut;
    run.verbose = cl.verbose;
    settings.ipVersion = cl.ipv6 ? 6 : 4;
    applyNetworkOptions(cl, static_cast<uint64_t>(std::time(nullptr)), settings);
    if (cl.seed) {
        run.seed = parseSeed(*cl.seed);
        if (!run.seed) valueError("--seed takes an unsigned integer, not '" + *cl.seed + "'");
    }
    applyEmailAddress(cl.srcEmail, "--srcemail", "source", settings.srcEmail, run.verbose, out);
    applyEmailAddress(cl.dstEmail, "--dstemail", "destination", settings.dstEmail, run.verbose,
                      out);
    openInput(run, cl);
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
    run.announcedName = run.inputPath;
    applyConversationTexts(run, cl);
    applyCaptureFormat(run, cl);
    if (cl.outFile) {
        if (cl.outFile->empty()) valueError("-o/--outfile needs a file name");
        if (sameFile(*cl.outFile, run.inputStat)) {
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

    run.modes = parseModeList(cl.mode.value_or("h"));
    if (run.modes.size() > 1) {
        if (run.ports) {
            err << "Specifying a destination port is not possible when using multiple modes. "
                   "Switching to default destination ports.\n";
            // A source port given with it still applies to every mode.
            run.ports->destination = 0;
        }
        if (cl.outFile) {
            throw FatalError(
                "Specifying an output filename does not work when using multiple modes\n" +
                    usageText(),
                exitUsage);
        }
    }
    for (const ModeRow& row : run.modes) {
        if (modeNeedsUrlPath(row.mode) && !encodeUrlPath(run.announcedName)) {
            throw FatalError("Error: " + run.announcedName + ": " + urlEncoderTooLong, exitFailure);
        }
    }
    for (const ModeRow& row : run.modes) {
        std::string name =
            composeCaptureName(run.outFileName, run.inputPath, captureSuffix(run, row));
        if (sameFile(name, run.inputStat)) {
            throw FatalError("Error: " + name + ": Output file cannot be input file!", exitFailure);
        }
        if (hasOverlongComponent(name)) {
            throw FatalError(systemErrorText(name, ENAMETOOLONG), exitFailure);
        }
        run.captureNames.push_back(std::move(name));
    }
    // Helper files go beside the captures, unless the captures go to a device
    // or standard output.
    int error = 0;
    const std::string& first = run.captureNames.front();
    run.tempDirectory = sinkKindOf(first, error) == SinkKind::replaceName
                            ? directoryOf(first)
                            : fallbackTempDirectory();
}

// An input whose size cannot be trusted is read once into a private temporary
// file, so its size is known and every mode carries all of it.
void makeInputRegular(Run& run) {
    if (!readsLikeAPipe(run.input.fd, run.inputStat)) return;
    run.progress = makeReadingMeter(STDERR_FILENO);
    startProgress(run.progress, run.input.name);
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

// Wires the layers, top to bottom: TCP, network conditions, IP, link, capture.
void buildPipeline(Run& run) {
    run.random = seededRandom(run.seed ? *run.seed : seedFromEnvironment());
    run.clock = startPacketClock(run.settings.timing);
    run.link.settings = &run.settings.link;
    run.link.capture = &run.capture;
    run.ip.ttl = run.settings.ttl;
    run.ip.random = &run.random;
    run.ip.link = &run.link;
    startNetworkConditions(run.conditions, run.settings.conditions, run.random, run.ip, &run.clock,
                           run.settings.timing.rttNs);
    startTcpStack(run.tcp, run.settings, run.random, run.clock, run.conditions);
}

void writeCaptures(Run& run, std::ostream& stdOut, std::ostream& err) {
    std::ostream& out = run.captureOnStdout ? err : stdOut;
    buildPipeline(run);
    const Settings& settings = run.settings;
    Flow flow;
    flow.ipVersion = settings.ipVersion;
    flow.source.ip = settings.clientIp;
    flow.source.mac = settings.link.clientMac;
    flow.destination.ip = settings.serverIp;
    flow.destination.mac = settings.link.serverMac;
    flow.source.port = static_cast<uint16_t>((nextRandom(run.random) & 0x7FFF) + 1025);
    if (run.ports && run.ports->source) flow.source.port = *run.ports->source;

    run.progress = makeProgressMeter(STDERR_FILENO, run.input.size);
    run.input.progress = &run.progress;
    Transfer file;
    file.input = &run.input;
    file.fileSize = run.input.size;
    file.name = run.announcedName;
    file.blockSize = settings.blockSize;
    file.settings = &run.settings;
    file.random = &run.random;
    file.tempDirectory = run.tempDirectory;

    for (size_t i = 0; i < run.modes.size(); ++i) {
        const ModeRow& row = run.modes[i];
        flow.destination.port =
            (run.ports && run.ports->destination != 0) ? run.ports->destination : row.defaultPort;
        const std::string& name = run.captureNames[i];
        errno = 0;
        out << "Writing to " << name << "\n";
        checkStandardOutput(out);
        openOutput(run.capture, name);
        startProgress(run.progress, name);
        TcpSession session = newSession(run.tcp, flow);
        runMode(session, file, row);
        flushPendingAcks(run.tcp);
        flushConditions(run.conditions);
        closeCapture(run.capture);
        clearProgress(run.progress);
    }
}

void printMessage(std::ostream& out, const std::string& message) {
    out << message;
    if (message.empty() || message.back() != '\n') out << "\n";
}

}  // namespace

int runTracemint(int argc, char* argv[], std::ostream& out, std::ostream& err) {
    removePendingFilesOnSignals();
    Run run;
    int status = exitSuccess;
    errno = 0;
    try {
        CommandLine cl = parseCommandLine(argc, argv);
        if (cl.empty || cl.help) {
            out << usageText();
        } else if (cl.version) {
            out << versionText << "\n";
        } else {
            prepareRun(run, cl, out, err);
            makeInputRegular(run);
            writeCaptures(run, out, err);
        }
        checkStandardOutput(out);
    } catch (const FatalError& error) {
        // The capture in progress is removed: a capture is whole or absent.
        clearProgress(run.progress);
        abandonCapture(run.capture);
        printMessage(err, error.what());
        status = error.status;
    } catch (const std::exception& error) {
        clearProgress(run.progress);
        abandonCapture(run.capture);
        printMessage(err, std::string("Error: ") + error.what());
        status = exitFailure;
    }
    if (run.input.fd >= 0) ::close(run.input.fd);
    err.flush();
    return status;
}

}  // namespace tracemint
