#include "output.h"

#include "crop_assist.hpp"

#include <cmath>
#include <cstdlib>

namespace cropassist {

std::string formatFloat(float value) {
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    }
    char buffer[32];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(buffer, nullptr) == value) {
            break;
        }
    }
    return buffer;
}

std::string jsonQuote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;  // UTF-8 passes through unchanged
                }
        }
    }
    return out + "\"";
}

std::string Value::toJson() const {
    switch (kind_) {
        case Kind::Null:
            return "null";
        case Kind::Bool:
            return bool_ ? "true" : "false";
        case Kind::Integer:
            return std::to_string(integer_);
        case Kind::Real:
            return std::isfinite(real_) ? formatFloat(real_) : "null";
        case Kind::String:
            return jsonQuote(string_);
        case Kind::Array: {
            std::string out = "[";
            for (std::size_t i = 0; i < array_.size(); ++i) {
                out += (i ? "," : "") + array_[i].toJson();
            }
            return out + "]";
        }
        case Kind::Object: {
            std::string out = "{";
            for (std::size_t i = 0; i < object_.size(); ++i) {
                out +=
                    (i ? "," : "") + jsonQuote(object_[i].first) + ":" + object_[i].second.toJson();
            }
            return out + "}";
        }
    }
    return "null";
}

std::string Value::toText(bool quoteSpaces) const {
    if (!note_.empty()) {
        Value plain = *this;
        plain.note_.clear();
        return plain.toText(quoteSpaces) + " (" + note_ + ")";
    }
    switch (kind_) {
        case Kind::Real:
            return formatFloat(real_);
        case Kind::String:
            if (quoteSpaces && (string_.empty() || string_.find(' ') != std::string::npos)) {
                return jsonQuote(string_);
            }
            return string_;
        default:
            return toJson();
    }
}

namespace {

// "k=v k=v" for one element of a listed record.
std::string inlineMembers(const Object& members) {
    std::string line;
    for (const auto& member : members) {
        line += (line.empty() ? "" : " ") + member.first + "=" + member.second.toText(true);
    }
    return line;
}

std::string textLines(const Object& values) {
    std::string out;
    for (const auto& [key, value] : values) {
        if (value.kind() == Value::Kind::Array) {
            out += key + ": " + std::to_string(value.array().size()) + "\n";
            for (const Value& element : value.array()) {
                out += "  " +
                       (element.kind() == Value::Kind::Object ? inlineMembers(element.object())
                                                              : element.toText()) +
                       "\n";
            }
        } else if (value.kind() == Value::Kind::Object) {
            out += key + ": " + inlineMembers(value.object()) + "\n";
        } else {
            out += key + ": " + value.toText() + "\n";
        }
    }
    return out;
}

}  // namespace

std::string explain(const std::string& command, int code) {
    const bool opening = command == "init" || command == "attach";
    switch (code) {
        case CROP_ASSIST_DEVICE_NOT_FOUND:
            return opening ? "the service could not be started or reached" : "device not found";
        case CROP_ASSIST_SERVICE_CRASHED:
            return opening ? "the service crashed while starting"
                           : "the service crashed; init, or the command run again with "
                             "--start, starts a new one";
        case CROP_ASSIST_NOT_INITIALIZED:
            return command == "init" ? "the service executable is missing"
                                     : "the connection to the service was lost; restart the "
                                       "service, or run with --start";
        default:
            return crop_assist::resultMeaning(code);
    }
}

void Output::report(const Report& report) {
    if (json_) {
        Object line{{"command", report.command}};
        line.insert(line.end(), report.context.begin(), report.context.end());
        line.emplace_back("code", report.code);
        if (report.code != CROP_ASSIST_OK) {
            line.emplace_back("name", crop_assist::resultName(report.code));
            line.emplace_back("meaning", explain(report.command, report.code));
        }
        line.insert(line.end(), report.values.begin(), report.values.end());
        writeLine(stdout, Value(std::move(line)).toJson() + "\n");
        return;
    }
    if (report.code == CROP_ASSIST_OK) {
        writeLine(stdout, report.values.empty() ? std::string("ok\n") : textLines(report.values));
        return;
    }
    std::string what = report.command;
    for (const auto& member : report.context) {
        what += " " + member.second.toText(true);
    }
    writeLine(stderr, "cropassist: " + what + ": failed with code " + std::to_string(report.code) +
                          " " + crop_assist::resultName(report.code) + " (" +
                          explain(report.command, report.code) + ")\n");
}

void Output::notice(const std::string& kind, const Object& members) {
    if (json_) {
        Object line{{"notice", kind}};
        line.insert(line.end(), members.begin(), members.end());
        writeLine(stdout, Value(std::move(line)).toJson() + "\n");
        return;
    }
    std::string text = kind;
    for (const auto& member : members) {
        text += " " + member.second.toText(true);
    }
    writeLine(stdout, text + "\n");
}

void Output::error(const std::string& command, int code, const std::string& message) {
    if (json_) {
        const Object line{{"command", command}, {"code", code}, {"error", message}};
        writeLine(stdout, Value(line).toJson() + "\n");
    }
    writeLine(stderr, "cropassist: " + message + "\n");
}

void Output::writeLine(std::FILE* stream, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

}  // namespace cropassist
