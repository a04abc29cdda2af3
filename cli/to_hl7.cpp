// to-hl7: JSON in, HL7 out, on the module's own fast path.  The reading
// thread only finds where items end -- lines of JSON Lines, elements of an
// array -- and hands runs of them to the jobs (to_hl7_items.hpp), so memory
// follows the largest item, not the input.
#include "to_hl7.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "json_reader.hpp"
#include "to_hl7_items.hpp"

namespace segmorph::cli {

namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n";

using Name = std::shared_ptr<const std::string>;

// Reads one JSON input in rounds and submits its items in runs.  JSON Lines
// go by lines; an array is cut into its elements as they come, when they
// are to-json's items, or read whole as one message when they are records.
// An array on the first line alone followed by more lines is the first of
// JSON Lines.
class JsonFeed {
public:
    JsonFeed(const Options& opts, Name name, OrderedJobs& jobs) : opts_(opts), name_(std::move(name)), jobs_(jobs) {}

    bool run(InputReader& in) {
        // From a stream, a round ends as soon as a line is complete: to-json
        // writes an item a line, so an item read goes out without waiting
        // for more input.
        in.end_rounds_when(
            [](std::string_view text, std::size_t from) { return text.find('\n', from) != std::string_view::npos; });
        std::string_view carry;
        for (bool ended = false; !ended;) {
            const std::size_t max = opts_.max_message_bytes;
            Result<std::shared_ptr<const InputBytes>> next =
                in.next(carry, round_want(carry.size(), kRoundBytes, max), ended);
            if (!next) return submit_failure(*name_ + ": " + next.error().message(), jobs_);
            round_ = std::move(next.value());
            read_ += round_->view().size() - carry.size();
            const std::string_view text = round_->view();
            std::size_t done = 0;
            if (!take_round(text, ended, done)) return false;
            carry = text.substr(done);
            if (stage_ == Stage::Stopped) return true;
            if (carry.size() > max) {
                // A line or element without an end (a stream of zeros): the
                // rest of the input cannot be told apart from it.
                return submit_failure(*name_ + ": at byte " + std::to_string(read_ - carry.size()) +
                                          ": a message longer than " + std::to_string(max) +
                                          " bytes (--max-message-bytes); the rest of the input is skipped",
                                      jobs_);
            }
        }
        if (stage_ == Stage::Start) return submit_failure(*name_ + ": " + Hl7Error::empty_message().message(), jobs_);
        if (stage_ != Stage::Lines && stage_ != Stage::AfterArray) {
            // The input ended inside the array of items.
            return submit_problem({}, JsonProblem{0, "invalid JSON: the text ends before the array is closed"}, place_);
        }
        return true;
    }

private:
    std::uint64_t read_ = 0;  // bytes of the input read so far

    enum class Stage {
        Start,       // nothing but white space yet
        Lines,       // JSON Lines
        Records,     // inside an array of records, read whole
        FirstItem,   // after "[": an element or "]"
        InItem,      // inside an element
        AfterItem,   // after an element: "," or "]"
        NextItem,    // after ",": an element
        AfterArray,  // after the array: white space only, or JSON Lines
        Stopped,
    };

    // Takes what `text` (which starts where the last round stopped) holds;
    // `done` gets how much of it is finished with.  False once the run has
    // stopped.
    bool take_round(std::string_view text, bool ended, std::size_t& done) {
        std::size_t pos = 0;
        while (pos < text.size() || stage_ == Stage::Records) {
            switch (stage_) {
                case Stage::Start: {
                    const std::size_t first = text.find_first_not_of(kWhiteSpace);
                    if (first == std::string_view::npos) {
                        done = ended ? text.size() : 0;  // blank so far: wait
                        return true;
                    }
                    if (text[first] != '[') {
                        stage_ = Stage::Lines;
                        continue;
                    }
                    advance(text, pos, first);
                    array_start_ = pos;
                    array_place_ = place_;
                    scanner_.start('[');
                    scanned_ = pos + 1;
                    stage_ = Stage::Records;  // until its first element says otherwise
                    continue;
                }
                case Stage::Lines: return submit_lines(text, ended, pos, done);
                case Stage::Records: {
                    const std::size_t from = array_start_;
                    if (!take_records(text, ended, pos)) return false;
                    if (stage_ == Stage::Records) {
                        done = from;  // the whole array waits for the rest
                        return true;
                    }
                    continue;
                }
                case Stage::FirstItem:
                case Stage::NextItem:
                case Stage::AfterItem: {
                    const std::size_t at = text.find_first_not_of(kWhiteSpace, pos);
                    if (at == std::string_view::npos) {
                        advance(text, pos, text.size());
                        break;
                    }
                    advance(text, pos, at);
                    const char c = text[pos];
                    if (stage_ == Stage::AfterItem || (stage_ == Stage::FirstItem && c == ']')) {
                        if (c == ']') {
                            advance(text, pos, pos + 1);
                            stage_ = Stage::AfterArray;
                            array_spans_lines_ = place_.line != array_place_.line;
                        } else if (c == ',') {
                            advance(text, pos, pos + 1);
                            stage_ = Stage::NextItem;
                        } else {
                            return stop(text, pos,
                                        "invalid JSON: expected ',' or ']' after element " +
                                            std::to_string(index_ - 1) + " of the array, found ");
                        }
                        continue;
                    }
                    item_start_ = pos;
                    item_place_ = place_;
                    scanner_.start(c);
                    scanned_ = pos + 1;
                    stage_ = Stage::InItem;
                    continue;
                }
                case Stage::InItem: {
                    const std::size_t end = scanner_.scan(text, scanned_);
                    if (end == std::string_view::npos && !ended) {
                        scanned_ = text.size();
                        if (!flush()) return false;
                        done = item_start_;  // the element waits for the rest
                        rebase(item_start_);
                        return true;
                    }
                    const std::size_t stop_at = end == std::string_view::npos ? text.size() : end;
                    const std::string_view item = text.substr(item_start_, stop_at - item_start_);
                    elements_.push_back(Element{item, item_place_, index_++});
                    batch_bytes_ += item.size();
                    advance(text, pos, stop_at);
                    stage_ = Stage::AfterItem;
                    if (batch_bytes_ >= kTaskBytes && !flush()) return false;
                    continue;
                }
                case Stage::AfterArray: {
                    const std::size_t at = text.find_first_not_of(kWhiteSpace, pos);
                    if (at == std::string_view::npos) {
                        advance(text, pos, text.size());
                        break;
                    }
                    // An array on the first line alone followed by more lines
                    // opens JSON Lines.
                    const std::size_t nl = text.find('\n', pos);
                    if (!array_spans_lines_ && nl != std::string_view::npos && nl < at) {
                        if (!flush() || !submit_pending()) return false;
                        advance(text, pos, nl + 1);
                        stage_ = Stage::Lines;
                        continue;
                    }
                    advance(text, pos, at);
                    pending_ = {};
                    return stop(text, pos, "invalid JSON: expected nothing but white space after the array, found ");
                }
                case Stage::Stopped: done = text.size(); return true;
            }
        }
        done = text.size();
        // (An array of records whose end is this round's is converted now:
        // text after more than a round of white space is not looked for.)
        return flush() && submit_pending();
    }

    bool submit_pending() {
        if (pending_.empty()) return true;
        Name name = name_;
        const Options& opts = opts_;
        const bool go = jobs_.submit([&opts, name, round = round_, array = pending_,
                                      place = array_place_] { return convert_records(opts, *name, array, place); },
                                     pending_.size());
        pending_ = {};
        return go;
    }

    // An array read whole: its end found, it is converted as one message,
    // unless its first element shows it holds items.
    bool take_records(std::string_view text, bool ended, std::size_t& pos) {
        // Waiting for more text, which will follow the array's start.
        auto wait = [&] {
            rebase(array_start_);
            return true;
        };
        if (!first_checked_) {
            // The first element decides; wait until it is whole.
            const std::size_t first = text.find_first_not_of(kWhiteSpace, array_start_ + 1);
            if (first == std::string_view::npos) {
                if (!ended) return wait();
            } else if (text[first] != '{') {
                first_checked_ = true;
            } else {
                ValueScanner one;
                one.start('{');
                const std::size_t end = one.scan(text, first + 1);
                if (end == std::string_view::npos && !ended) return wait();
                first_checked_ = true;
                if (end != std::string_view::npos && holds_items(text.substr(first, end - first))) {
                    advance(text, pos, array_start_ + 1);
                    stage_ = Stage::FirstItem;
                    return true;
                }
            }
        }
        const std::size_t end = scanner_.scan(text, scanned_);
        if (end == std::string_view::npos) {
            scanned_ = text.size();
            if (!ended) return wait();
            stage_ = Stage::Stopped;
            const std::string_view array = text.substr(array_start_);
            return submit_problem(array,
                                  JsonProblem{array.size(),
                                              "invalid JSON: the text ends before the array is "
                                              "closed"},
                                  array_place_);
        }
        // Converted once what follows it is known to be white space (or
        // the next line of JSON Lines): an array followed by other text is
        // not a message.
        pending_ = text.substr(array_start_, end - array_start_);
        advance(text, pos, end);
        stage_ = Stage::AfterArray;
        array_spans_lines_ = place_.line != array_place_.line;
        return true;
    }

    // Whole lines go to tasks; the line not yet ended waits for the next round.
    bool submit_lines(std::string_view text, bool ended, std::size_t pos, std::size_t& done) {
        std::size_t complete = text.size();
        if (!ended) {
            const std::size_t last = text.rfind('\n');
            complete = last == std::string_view::npos || last < pos ? pos : last + 1;
        }
        while (pos < complete) {
            std::size_t end = std::min(complete, pos + kTaskBytes);
            end = text.find('\n', end);
            end = end == std::string_view::npos || end >= complete ? complete : end + 1;
            const std::string_view run = text.substr(pos, end - pos);
            // (Lines of JSON are long: a look for each line break costs less
            // than a look at every byte.)
            std::size_t lines = 0;
            for (const char *p = run.data(), *e = p + run.size();
                 (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)))); ++p) {
                ++lines;
            }
            // A run ends after its "\n", so cutting it leaves an empty last piece.
            const std::string_view body = run.ends_with('\n') ? run.substr(0, run.size() - 1) : run;
            Name name = name_;
            const Options& opts = opts_;
            const std::size_t line = place_.line;
            if (!jobs_.submit(
                    [&opts, name, round = round_, body, line] { return convert_lines(opts, *name, body, line); },
                    body.size()))
                return false;
            place_.line += lines;
            pos = end;
        }
        done = complete;
        return true;
    }

    // The elements gathered so far, as one task.
    bool flush() {
        if (elements_.empty()) return true;
        Name name = name_;
        const Options& opts = opts_;
        const bool go =
            jobs_.submit([&opts, name, round = round_,
                          elements = std::move(elements_)] { return convert_elements(opts, *name, elements); },
                         batch_bytes_);
        elements_.clear();
        batch_bytes_ = 0;
        return go;
    }

    bool stop(std::string_view text, std::size_t pos, const std::string& what) {
        stage_ = Stage::Stopped;
        if (!flush()) return false;
        const TextPlace at = place_;
        return jobs_.submit([name = name_, text = what + std::string(found(text, pos)), at] {
            Piece p;
            p.failures.push_back({0, *name + ": line " + std::to_string(at.line) + ", column " +
                                         std::to_string(at.column) + ": " + text});
            return p;
        });
    }

    bool submit_problem(std::string_view text, const JsonProblem& problem, TextPlace start) {
        stage_ = Stage::Stopped;
        if (!flush()) return false;
        const TextPlace at = place_of(text, problem.at, start);
        return submit_failure(*name_ + ": line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
                                  ": " + problem.what,
                              jobs_);
    }

    static std::string found(std::string_view text, std::size_t pos) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
        char hex[8];
        std::snprintf(hex, sizeof hex, "<%02X>", c);
        return hex;
    }

    // Moves the reading position to `to`, keeping its line and column.
    void advance(std::string_view text, std::size_t& pos, std::size_t to) {
        place_ = place_of(text.substr(pos, to - pos), to - pos, place_);
        pos = to;
    }

    // The next round starts at `from` of this one's text: offsets kept into
    // it move with it.
    void rebase(std::size_t from) {
        array_start_ -= std::min(array_start_, from);
        item_start_ -= std::min(item_start_, from);
        scanned_ -= from;
        // (place_ is that of the text read up to `from`'s successor bytes,
        // which are read again: go back to the place saved for `from`.)
        place_ = stage_ == Stage::Records ? array_place_ : item_place_;
    }

    const Options& opts_;
    Name name_;
    OrderedJobs& jobs_;
    std::shared_ptr<const InputBytes> round_;
    Stage stage_ = Stage::Start;
    TextPlace place_{1, 1};  // of the reading position
    ValueScanner scanner_;
    std::size_t scanned_ = 0;  // how far the scanner has looked
    std::size_t array_start_ = 0, item_start_ = 0;
    TextPlace array_place_{1, 1}, item_place_{1, 1};
    bool first_checked_ = false;
    bool array_spans_lines_ = true;  // the array's "]" is on another line than its "["
    std::size_t index_ = 0;          // of the next element
    std::vector<Element> elements_;
    std::string_view pending_;  // an array of records read, not yet converted
    std::size_t batch_bytes_ = 0;
};

}  // namespace

bool submit_json(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs) {
    // The name as error texts show it: control characters as <XX>.
    return JsonFeed(opts, std::make_shared<const std::string>(quote_input(source, SIZE_MAX)), jobs).run(in);
}

}  // namespace segmorph::cli
