// The string and path methods of the framework's string class that the application uses.
#pragma once

#include <QString>
#include <QStringList>

namespace bwv::platform {

// NSString-style formatting of the controller's texts: "%@" and "%s" take the next
// argument, "%n$@" the n-th, "%%" is a percent sign. A missing argument reads as empty and
// anything else after a percent sign stays as written, so a text that carries a stray
// percent sign (a rebranded product name, say) can never misread the arguments.
QString formatText(const QString &format, const QStringList &args);

// The path without its last component: "/a/b/c" -> "/a/b", "/c" -> "/", "c" -> "";
// trailing slashes are not a component.
QString deletingLastPathComponent(QString path);

// dir + "/" + name, with no doubled slash; name alone when dir is empty.
QString appendingPathComponent(const QString &dir, const QString &name);

}  // namespace bwv::platform
