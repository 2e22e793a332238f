#include "JsonWriter.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tessaral {

namespace {

// Appends into a QByteArray through a raw cursor: QByteArray's own append is slow for the many
// small pieces a library is made of, and writing in place saves copying the result.
class Buffer {
  public:
    explicit Buffer(qsizetype capacity) { data_.resize(std::max<qsizetype>(capacity, 64)); }

    void append(const char* bytes, std::size_t count) {
        reserve(count);
        std::memcpy(data_.data() + used_, bytes, count);
        used_ += static_cast<qsizetype>(count);
    }
    void append(const char* text) { append(text, std::strlen(text)); }
    void append(std::size_t count, char c) {
        reserve(count);
        std::memset(data_.data() + used_, c, count);
        used_ += static_cast<qsizetype>(count);
    }
    Buffer& operator+=(char c) {
        reserve(1);
        data_.data()[used_++] = c;
        return *this;
    }
    Buffer& operator+=(const char* text) {
        append(text);
        return *this;
    }

    QByteArray take() {
        data_.truncate(used_);
        return std::move(data_);
    }

  private:
    void reserve(std::size_t count) {
        const qsizetype needed = used_ + static_cast<qsizetype>(count);
        if (needed > data_.size()) {
            data_.resize(std::max(needed, data_.size() * 2));
        }
    }

    QByteArray data_;
    qsizetype used_ = 0;
};

class Writer {
  public:
    explicit Writer(Buffer& out) : out_(out) {}

    void write(const JsonValue& value, int depth) {
        std::visit([&](const auto& v) { writeValue(v, depth); }, value.storage());
    }

  private:
    void writeValue(std::monostate, int) { out_ += "null"; }
    void writeValue(bool v, int) { out_ += v ? "true" : "false"; }

    void writeValue(std::int64_t v, int) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, v);
        out_.append(digits, static_cast<std::size_t>(result.ptr - digits));
    }

    void writeValue(const std::string& v, int) { writeString(v); }

    void writeValue(const JsonValue::Array& array, int depth) {
        if (array.empty()) {
            out_.append("[]");
            return;
        }
        out_ += '[';
        bool first = true;
        for (const JsonValue& element : array) {
            out_.append(first ? "\n" : ",\n");
            first = false;
            indent(depth + 1);
            write(element, depth + 1);
        }
        out_ += '\n';
        indent(depth);
        out_ += ']';
    }

    void writeValue(const JsonValue::Object& object, int depth) {
        if (object.empty()) {
            out_.append("{}");
            return;
        }
        // Byte order of UTF-8 keys is code-point order. Members usually arrive sorted already.
        auto byKey = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::vector<const JsonValue::Object::value_type*> members;
        members.reserve(object.size());
        for (const auto& member : object) {
            members.push_back(&member);
        }
        if (!std::is_sorted(object.begin(), object.end(), byKey)) {
            std::stable_sort(members.begin(), members.end(),
                             [&](const auto* a, const auto* b) { return byKey(*a, *b); });
        }
        out_ += '{';
        bool first = true;
        for (const auto* member : members) {
            out_.append(first ? "\n" : ",\n");
            first = false;
            indent(depth + 1);
            writeString(member->first);
            out_.append(" : ");
            write(member->second, depth + 1);
        }
        out_ += '\n';
        indent(depth);
        out_ += '}';
    }

    void indent(int depth) { out_.append(static_cast<std::size_t>(2 * depth), ' '); }

    void writeString(const std::string& text) {
        static constexpr char hex[] = "0123456789abcdef";
        out_ += '"';
        const char* runStart = text.data();
        const char* const end = text.data() + text.size();
        auto flush = [&](const char* upTo) {
            out_.append(runStart, static_cast<std::size_t>(upTo - runStart));
        };
        for (const char* p = runStart; p != end; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            const char* escape = nullptr;
            switch (c) {
                case '"':
                    escape = "\\\"";
                    break;
                case '\\':
                    escape = "\\\\";
                    break;
                case '/':
                    escape = "\\/";
                    break;
                case '\b':
                    escape = "\\b";
                    break;
                case '\f':
                    escape = "\\f";
                    break;
                case '\n':
                    escape = "\\n";
                    break;
                case '\r':
                    escape = "\\r";
                    break;
                case '\t':
                    escape = "\\t";
                    break;
                default:
                    break;
            }
            if (escape == nullptr && c >= 0x20) {
                continue;
            }
            flush(p);
            runStart = p + 1;
            if (escape != nullptr) {
                out_.append(escape);
            } else {
                const char control[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
                out_.append(control, sizeof control);
            }
        }
        flush(end);
        out_ += '"';
    }

    Buffer& out_;
};

}  // namespace

QByteArray writeJson(const JsonValue& value, qsizetype sizeHint) {
    Buffer out(sizeHint);
    Writer(out).write(value, 0);
    return out.take();
}

}  // namespace tessaral
