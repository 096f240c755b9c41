// Application bundles and their localisation table.
//
// The main bundle is found from the executable: for ".../X.app/Contents/MacOS/exe" it is
// ".../X.app"; for an executable outside such a layout, the folder that holds it.
//
// Localisation: the English text is the key. Translations are Qt .qm files
//   <bundle>/Contents/Resources/translations/<Table>_<locale>.qm
// with Table "Localizable" for the default table; inside, the messages belong to the
// context named after the table ("Localizable"). The file is chosen by the user's locale
// (QLocale(), i.e. the system locale unless the program set another default) the first
// time a table is used, following QTranslator's rules (de_DE, then de).
#pragma once

#include <QLocale>
#include <QString>

#include <map>
#include <memory>

class QTranslator;

namespace bwv::platform {

class Bundle {
public:
    static constexpr const char *kDefaultTable = "Localizable";

    // The running program's bundle, from its executable path.
    static Bundle &mainBundle();

    // The bundle holding the executable at `executablePath`.
    static Bundle forExecutablePath(const QString &executablePath);

    // A bundle folder given directly (".../X.app").
    explicit Bundle(const QString &bundlePath);
    Bundle(Bundle &&) noexcept;
    Bundle &operator=(Bundle &&) noexcept;
    ~Bundle();

    QString bundlePath() const { return path_; }  // no trailing slash
    QString resourcePath() const;                 // <bundle>/Contents/Resources
    QString translationsPath() const;             // <resourcePath>/translations

    // The translation of `key` in `table` (empty: the default table). Without one: `value`
    // when it is not empty, else `key` itself.
    QString localizedString(const QString &key, const QString &value = {}, const QString &table = {}) const;

    // Chooses the locale for tables not loaded yet and forgets loaded ones; for tests and
    // for a program that changes its language.
    void setLocale(const QLocale &locale);

private:
    QString path_;
    QLocale locale_;
    bool localeSet_ = false;
    mutable std::map<QString, std::unique_ptr<QTranslator>> tables_;  // null: no file
};

}  // namespace bwv::platform
