// Output of the command-line host: the values a subcommand reports, rendered either as
// "key: value" text for people or as one JSON object per line for programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace cropassist {

class Value;
// Members in the order they were added; the order is kept in both renderings.
using Object = std::vector<std::pair<std::string, Value>>;
using Array = std::vector<Value>;

// One reported value: a scalar, a list or a nested record.
class Value {
public:
    enum class Kind { Null, Bool, Integer, Real, String, Array, Object };

    Value() = default;
    Value(bool b) : kind_(Kind::Bool), bool_(b) {}
    Value(int i) : kind_(Kind::Integer), integer_(i) {}
    Value(std::int64_t i) : kind_(Kind::Integer), integer_(i) {}
    Value(float f) : kind_(Kind::Real), real_(f) {}
    Value(const char* s) : kind_(Kind::String), string_(s) {}
    Value(std::string s) : kind_(Kind::String), string_(std::move(s)) {}
    Value(Array a) : kind_(Kind::Array), array_(std::move(a)) {}
    Value(Object o) : kind_(Kind::Object), object_(std::move(o)) {}

    // The same value with a remark shown after it in text only: "2 (group)".
    Value withNote(std::string note) const {
        Value v = *this;
        v.note_ = std::move(note);
        return v;
    }

    Kind kind() const { return kind_; }
    const Array& array() const { return array_; }
    const Object& object() const { return object_; }

    std::string toJson() const;
    // Scalars as plain text (strings unquoted unless `quoteSpaces` and they hold blanks);
    // lists and records as their JSON text.
    std::string toText(bool quoteSpaces = false) const;

private:
    Kind kind_ = Kind::Null;
    bool bool_ = false;
    std::int64_t integer_ = 0;
    float real_ = 0.0f;
    std::string string_;
    Array array_;
    Object object_;
    std::string note_;
};

// The shortest decimal text that reads back as the same float ("0.1", not "0.100000001").
std::string formatFloat(float value);
std::string jsonQuote(const std::string& text);

// What a failed call's code means where it came from, with what the user can do where that
// helps. `command` is the subcommand, or "init" or "attach" for the start of a session: a 99 from
// init means a missing executable, from any later call a lost connection.
std::string explain(const std::string& command, int code);

// What one subcommand reports. `context` names what was asked (the device, the mode), `values`
// holds the answer; a failed call has no values.
struct Report {
    std::string command;
    Object context;
    int code = 0;
    Object values;
};

// Writes reports and notices to stdout (failures in text mode to stderr). Every line is flushed
// at once and guarded by one lock, because notices arrive on the library's listener thread.
class Output {
public:
    explicit Output(bool json) : json_(json) {}

    bool json() const { return json_; }

    void report(const Report& report);
    // A device notice or similar event line: `kind` ("arrived", "lost", "event", "present")
    // with its members.
    void notice(const std::string& kind, const Object& members);
    // A failure of the tool itself (bad input, unreadable file): to stderr in text mode,
    // as {"command", "code", "error"} in JSON mode.
    void error(const std::string& command, int code, const std::string& message);

private:
    void writeLine(std::FILE* stream, const std::string& line);

    bool json_;
    std::mutex mutex_;
};

}  // namespace cropassist
