#include "app/framework/strings.hpp"

namespace bwv::platform {

QString formatText(const QString &format, const QStringList &args) {
    QString out;
    out.reserve(format.size());
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        QChar c = format.at(i);
        if (c != QLatin1Char('%') || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        qsizetype j = i + 1;
        qsizetype position = -1;
        qsizetype digitsEnd = j;
        while (digitsEnd < format.size() && format.at(digitsEnd).isDigit()) ++digitsEnd;
        if (digitsEnd > j && digitsEnd < format.size() && format.at(digitsEnd) == QLatin1Char('$')) {
            position = format.mid(j, digitsEnd - j).toLongLong() - 1;
            j = digitsEnd + 1;
        }
        if (j >= format.size()) {
            out += c;
            continue;
        }
        QChar conversion = format.at(j);
        if (conversion == QLatin1Char('%') && position < 0) {
            out += QLatin1Char('%');
            i = j;
        } else if (conversion == QLatin1Char('@') || conversion == QLatin1Char('s')) {
            qsizetype index = position >= 0 ? position : next++;
            if (index >= 0 && index < args.size()) out += args.at(index);
            i = j;
        } else {
            out += c;
        }
    }
    return out;
}

QString deletingLastPathComponent(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return {};
    if (slash == 0) return QStringLiteral("/");
    return path.left(slash);
}

QString appendingPathComponent(const QString &dir, const QString &name) {
    if (dir.isEmpty()) return name;
    if (dir.endsWith(QLatin1Char('/'))) return dir + name;
    return dir + QLatin1Char('/') + name;
}

}  // namespace bwv::platform
