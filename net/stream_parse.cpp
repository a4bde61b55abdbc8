#include "net/stream_parse.h"

#include "net/json.h"

bool IsCompleteJsonValue(std::string_view text) {
    JsonValueScan scan;
    scan.Feed(text);
    return scan.Complete();
}

void JsonValueScan::Feed(std::string_view more) {
    for (const char c : more) {
        switch (state_) {
            case State::Other:
                return;
            case State::Blank:
                if (IsJsonBlank(c)) break;
                state_ = (c == '{' || c == '[') ? State::Open : State::Other;
                depth_ = 1;
                break;
            case State::Closed:
                if (!IsJsonBlank(c)) state_ = State::Other;
                break;
            case State::Open:
                if (inString_) {
                    if (escaped_) escaped_ = false;
                    else if (c == '\\') escaped_ = true;
                    else if (c == '"') inString_ = false;
                } else if (c == '"') {
                    inString_ = true;
                } else if (c == '{' || c == '[') {
                    ++depth_;
                } else if ((c == '}' || c == ']') && --depth_ == 0) {
                    state_ = State::Closed;
                }
                break;
        }
    }
}

bool SseParser::Feed(std::string_view bytes, std::vector<StreamEvent>* out) {
    if (overflow_) return false;
    size_t i = 0;
    if (skipLf_ && !bytes.empty()) {
        if (bytes[0] == '\n') i = 1;
        skipLf_ = false;
    }
    while (i < bytes.size()) {
        const size_t end = bytes.find_first_of("\r\n", i);
        const size_t stop = end == std::string_view::npos ? bytes.size() : end;
        line_.append(bytes.data() + i, stop - i);
        if (line_.size() + data_.size() > cap_) {
            overflow_ = true;
            return false;
        }
        if (end == std::string_view::npos) break;
        EndLine(out);
        i = end + 1;
        if (bytes[end] == '\r') {
            if (i == bytes.size()) skipLf_ = true;
            else if (bytes[i] == '\n') ++i;
        }
    }
    return true;
}

void SseParser::EndLine(std::vector<StreamEvent>* out) {
    if (firstLine_) {
        firstLine_ = false;
        if (line_.compare(0, 3, "\xEF\xBB\xBF") == 0) line_.erase(0, 3);
    }
    if (line_.empty()) return Dispatch(out);
    if (line_[0] != ':') {
        const std::string_view line(line_);
        const size_t colon = line.find(':');
        const std::string_view field = line.substr(0, colon);
        std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
        if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
        if (field == "data") {
            if (hasData_) {
                data_ += '\n';
                scan_.Feed("\n");
            }
            data_.append(value);
            scan_.Feed(value);
            hasData_ = true;
            if (scan_.Complete()) {
                line_.clear();
                return Dispatch(out);
            }
        } else if (field == "event") {
            name_.assign(value);
        }
        // "id", "retry" and unknown fields mean nothing here.
    }
    line_.clear();
}

void SseParser::Dispatch(std::vector<StreamEvent>* out) {
    if (hasData_) out->push_back(StreamEvent{std::move(name_), std::move(data_)});
    name_.clear();
    data_.clear();
    scan_ = JsonValueScan();
    hasData_ = false;
}

bool NdjsonParser::Feed(std::string_view bytes, std::vector<StreamEvent>* out) {
    if (overflow_) return false;
    for (const char c : bytes) {
        if (c == '\n' || c == '\r') {  // LF, CRLF or a lone CR: a CRLF's LF ends an empty line, which is skipped
            if (!emitted_ && SkipJsonBlank(line_, 0) < line_.size()) out->push_back(StreamEvent{std::string(), line_});
            line_.clear();
            scan_ = JsonValueScan();
            emitted_ = false;
            firstLine_ = false;
            continue;
        }
        if (emitted_) continue;
        if (line_.size() >= cap_) {
            overflow_ = true;
            return false;
        }
        line_ += c;
        // A byte order mark before the first line is no part of it.
        if (firstLine_ && line_.size() == 3) {
            firstLine_ = false;
            if (line_ == "\xEF\xBB\xBF") {
                line_.clear();
                scan_ = JsonValueScan();
                continue;
            }
        }
        scan_.Feed(std::string_view(&c, 1));
        if (scan_.Complete()) {
            out->push_back(StreamEvent{std::string(), line_});
            emitted_ = true;
        }
    }
    return true;
}

