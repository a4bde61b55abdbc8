// Splits a reply that arrives in pieces into Server-Sent Events or NDJSON lines. Pure: no I/O.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct StreamEvent {
    std::string name;  // the SSE "event:" field; empty for NDJSON lines and unnamed events
    std::string data;  // the event's data lines joined by '\n', or one NDJSON line
    bool operator==(const StreamEvent&) const = default;
};

// Largest single event or line kept while it is incomplete; a longer one is an overflow.
constexpr size_t kMaxStreamEventBytes = 16u << 20;

// True when text holds one whole JSON object or array, with only JSON blanks around it.
bool IsCompleteJsonValue(std::string_view text);

// IsCompleteJsonValue of a text that grows at its end: each byte is looked at once, however often it is asked.
class JsonValueScan {
  public:
    void Feed(std::string_view more);
    bool Complete() const { return state_ == State::Closed; }

  private:
    enum class State { Blank, Open, Closed, Other };
    State state_ = State::Blank;
    int depth_ = 0;
    bool inString_ = false, escaped_ = false;
};

// Server-Sent Events: "data:", "event:", comment lines, CRLF, LF or CR line ends, several data lines per event.
// An event whose data is already one whole JSON value (or "[DONE]") is handed out at the end of its data line,
// without waiting for the blank line: under WinHTTP the last byte of a chunk arrives only with the next one.
class SseParser {
  public:
    explicit SseParser(size_t cap = kMaxStreamEventBytes) : cap_(cap) {}
    // Appends the events completed by `bytes` to *out; false once a line or event outgrew the cap.
    bool Feed(std::string_view bytes, std::vector<StreamEvent>* out);

  private:
    void EndLine(std::vector<StreamEvent>* out);
    void Dispatch(std::vector<StreamEvent>* out);
    size_t cap_;
    std::string line_;   // the incomplete line
    std::string name_;   // event name of the event being built
    std::string data_;   // its data lines so far, joined by '\n'
    JsonValueScan scan_; // whether data_ is one whole JSON value yet
    bool hasData_ = false;
    bool firstLine_ = true;  // a byte order mark may open the stream's first line
    bool skipLf_ = false;  // the last line ended with CR: an LF right after it belongs to that line end
    bool overflow_ = false;
};

// Newline-delimited JSON: one value per line, CRLF, LF or CR, blank lines skipped. A line that is already a whole
// JSON value is handed out before its line feed arrives, for the same reason as above.
class NdjsonParser {
  public:
    explicit NdjsonParser(size_t cap = kMaxStreamEventBytes) : cap_(cap) {}
    bool Feed(std::string_view bytes, std::vector<StreamEvent>* out);

  private:
    size_t cap_;
    std::string line_;
    JsonValueScan scan_;     // whether line_ is one whole JSON value yet
    bool emitted_ = false;   // this line's value was handed out already; the rest up to the line feed is ignored
    bool firstLine_ = true;  // a byte order mark may still open the stream
    bool overflow_ = false;
};
