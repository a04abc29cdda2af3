// The command line: subcommands, options and their help texts.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "charset.hpp"
#include "escape.hpp"
#include "rules.hpp"

namespace segmorph::cli {

enum class Command { ToJson, ToHl7, Validate, Listen, Send };
enum class Format { Jsonl, Json };
enum class SegmentEnd { Cr, Lf, Crlf };

struct Options {
    Command command = Command::ToJson;
    // Files and directories in the order given; empty means standard input,
    // and "-" names it explicitly.
    std::vector<std::string> paths;

    // to-json
    Format format = Format::Jsonl;
    bool escaping = true;
    bool validate = false;
    // to-json and validate
    Rules rules;
    Encoding encoding = Encoding::Auto;
    // to-hl7
    EscapeMode escape = EscapeMode::Minimal;
    SegmentEnd segment_end = SegmentEnd::Cr;
    bool mllp = false;
    // to-json and validate: a message longer than this is reported and
    // skipped, so that an input without message ends stays in bounded
    // memory; a cut last MLLP block is converted but fails the run unless
    // accepted
    std::size_t max_message_bytes = std::size_t{256} << 20;
    bool accept_truncated = false;

    // listen and send (MLLP over TCP)
    struct Live {
        std::string bind = "127.0.0.1:2575";  // listen: where to accept
        std::string output = "-";             // listen: the JSON Lines file
        std::size_t max_message_bytes = 16 << 20;
        double idle_timeout = 300;  // seconds; 0: never
        double frame_timeout = 10;  // seconds for a frame (or TLS handshake) to complete; 0: never
        unsigned max_connections = 10000;
        bool sync = false;
        std::vector<std::string> allow;  // listen: CIDRs taken from (none: any)
        std::string metrics;             // listen: HOST:PORT of the Prometheus page
        bool log_json = false;           // listen: --log-format json
        // TLS: listen serves with cert and key (ca: client CAs, then
        // required); send uses it with --tls (ca: trusted CAs; cert and key
        // its own certificate, if the receiver asks for one).
        bool tls = false;
        std::string tls_cert, tls_key, tls_ca, tls_server_name;
        std::string target;    // send: HOST:PORT
        double timeout = 30;   // send: seconds to wait for each ACK
        unsigned retries = 3;  // send: attempts after a timeout or a drop
    } live;

    // every subcommand
    unsigned jobs = 1;
    bool quiet = false;
    bool fail_fast = false;
    bool verbose = false;
    // Which files of a directory are read: --glob patterns (none: by
    // content), and hidden ones with --hidden.
    std::vector<std::string> globs;
    bool hidden = false;
};

// What to do instead of a run: print `text` (help or version on standard
// output with status 0, a usage error on standard error with status 2).
struct EarlyExit {
    int status;
    std::string text;
};

std::variant<Options, EarlyExit> parse_args(int argc, char** argv);

}  // namespace segmorph::cli
