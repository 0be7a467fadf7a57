#include "textescape.h"

namespace omnivue {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

bool unescapeC(const QByteArray& text, QByteArray* bytes, QString* error) {
    QByteArray out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c != '\\') {
            out.append(c);
            continue;
        }
        if (++i == text.size()) {
            *error = QStringLiteral("lone backslash at the end");
            return false;
        }
        switch (text.at(i)) {
            case 'n':
                out.append('\n');
                break;
            case 'r':
                out.append('\r');
                break;
            case 't':
                out.append('\t');
                break;
            case '\\':
                out.append('\\');
                break;
            case 'x': {
                const int high = i + 1 < text.size() ? hexDigit(text.at(i + 1)) : -1;
                const int low = i + 2 < text.size() ? hexDigit(text.at(i + 2)) : -1;
                if (high < 0 || low < 0) {
                    *error = QStringLiteral("\\x needs two hexadecimal digits");
                    return false;
                }
                out.append(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default:
                *error = QStringLiteral("unknown escape \\%1").arg(QLatin1Char(text.at(i)));
                return false;
        }
    }
    *bytes = out;
    return true;
}

QByteArray escapeC(const QByteArray& bytes) {
    static const char digits[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out.append("\\\\");
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (c == '\t') {
            out.append("\\t");
        } else if (u < 0x20 || u > 0x7e) {
            out.append("\\x").append(digits[u >> 4]).append(digits[u & 0xf]);
        } else {
            out.append(c);
        }
    }
    return out;
}

}  // namespace omnivue
