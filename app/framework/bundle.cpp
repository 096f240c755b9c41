#include "app/framework/bundle.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTranslator>

namespace bwv::platform {

namespace {

QString executableOfThisProcess() {
    if (QCoreApplication::instance()) return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

}  // namespace

Bundle &Bundle::mainBundle() {
    // Never destroyed: lookups may happen during static destruction.
    static Bundle *main = new Bundle(forExecutablePath(executableOfThisProcess()));
    return *main;
}

Bundle Bundle::forExecutablePath(const QString &executablePath) {
    // By name only: the layout decides, whether or not the folders can be listed.
    const QString dir = QDir::cleanPath(QFileInfo(executablePath).absolutePath());
    const QString contents = QFileInfo(dir).path();
    if (QFileInfo(dir).fileName() == QLatin1String("MacOS") &&
        QFileInfo(contents).fileName() == QLatin1String("Contents") && contents != dir)
        return Bundle(QFileInfo(contents).path());
    return Bundle(dir);
}

Bundle::Bundle(const QString &bundlePath) : path_(QDir::cleanPath(bundlePath)) {}
Bundle::Bundle(Bundle &&) noexcept = default;
Bundle &Bundle::operator=(Bundle &&) noexcept = default;
Bundle::~Bundle() = default;

QString Bundle::resourcePath() const { return path_ + QStringLiteral("/Contents/Resources"); }

QString Bundle::translationsPath() const { return resourcePath() + QStringLiteral("/translations"); }

void Bundle::setLocale(const QLocale &locale) {
    locale_ = locale;
    localeSet_ = true;
    tables_.clear();
}

QString Bundle::localizedString(const QString &key, const QString &value, const QString &table) const {
    const QString name = table.isEmpty() ? QString::fromLatin1(kDefaultTable) : table;
    auto it = tables_.find(name);
    if (it == tables_.end()) {
        auto tr = std::make_unique<QTranslator>();
        const QLocale locale = localeSet_ ? locale_ : QLocale();
        if (!tr->load(locale, name, QStringLiteral("_"), translationsPath(), QStringLiteral(".qm"))) tr.reset();
        it = tables_.emplace(name, std::move(tr)).first;
    }
    if (it->second) {
        const QString t = it->second->translate(name.toUtf8().constData(), key.toUtf8().constData());
        if (!t.isEmpty()) return t;
    }
    return value.isEmpty() ? key : value;
}

}  // namespace bwv::platform
