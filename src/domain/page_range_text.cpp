#include "domain/page_range_text.h"

#include <vector>

#include "common/number_text.h"

namespace kestran {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the typed text from left to right; every step skips the blanks
// before what it looks for.
class RangeReader {
public:
    explicit RangeReader(const std::string& text) : text_(text) {}

    std::string Read() {
        std::string stored;
        for (;;) {
            while (Skip(','))
                ;
            std::string item;
            if (!ReadItem(&item))
                break;
            stored += (stored.empty() ? "" : ",") + item;
            if (!Skip(','))
                break;
        }
        // What is left may be a word ("pages"), never more page numbers.
        for (size_t i = at_; i < text_.size(); ++i)
            if (IsDigit(text_[i]))
                return std::string();
        return stored;
    }

private:
    void SkipBlanks() {
        while (at_ < text_.size() && IsBlank(text_[at_]))
            ++at_;
    }
    bool Skip(char c) {
        SkipBlanks();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    // A number without a leading zero; on failure nothing is consumed.
    bool ReadNumber(std::string* out) {
        const size_t start = at_;
        SkipBlanks();
        if (at_ >= text_.size() || text_[at_] < '1' || text_[at_] > '9') {
            at_ = start;
            return false;
        }
        const size_t first = at_;
        while (at_ < text_.size() && IsDigit(text_[at_]))
            ++at_;
        *out += text_.substr(first, at_ - first);
        return true;
    }
    // number ("-" number)* or number "-" (to the last page).
    bool ReadItem(std::string* item) {
        if (!ReadNumber(item))
            return false;
        int numbers = 1;
        for (;;) {
            const size_t before_dash = at_;
            if (!Skip('-'))
                return true;
            std::string next;
            if (ReadNumber(&next)) {
                *item += "-" + next;
                ++numbers;
                continue;
            }
            if (numbers == 1) {
                *item += "-";  // "7-": to the last page
                return true;
            }
            at_ = before_dash;  // a dangling dash after a chain: left for the digit check
            return true;
        }
    }

    const std::string& text_;
    size_t at_ = 0;
};

// "a,,b" gives "a", "", "b"; "" gives one empty piece.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces(1);
    for (const char c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

bool IsOpenRange(const std::string& piece) {
    return piece.size() > 1 && piece.back() == '-' && piece.find('-') == piece.size() - 1;
}

}  // namespace

std::string MatchPageRange(const std::string& typed) {
    return RangeReader(typed).Read();
}

bool CheckPageRange(const std::string& text, int count) {
    for (const std::string& piece : Split(text, ',')) {
        if (piece.empty())
            return false;
        if (piece.find_first_not_of("0123456789") == std::string::npos) {
            if (ToInt(piece) > count)
                return false;
            continue;
        }
        if (IsOpenRange(piece)) {
            if (ToInt(piece.substr(0, piece.size() - 1)) > count)
                return false;
            continue;
        }
        // "a-b-c-d" is read as the pairs (a,b) and (c,d); a lone last number
        // pairs with 0 and so fails.
        const std::vector<std::string> numbers = Split(piece, '-');
        for (size_t i = 0; i < numbers.size(); i += 2) {
            const int first_page = ToInt(numbers[i]);
            const int last_page = i + 1 < numbers.size() ? ToInt(numbers[i + 1]) : 0;
            if (last_page > count || last_page < first_page)
                return false;
        }
    }
    return true;
}

std::string CloseOpenRanges(const std::string& text, int count) {
    std::string closed;
    for (const std::string& piece : Split(text, ',')) {
        if (!closed.empty())
            closed += ",";
        closed += IsOpenRange(piece) ? piece + std::to_string(count) : piece;
    }
    return closed;
}

}  // namespace kestran
