#include "app/product_name/string_bwv.hpp"

#include <bwvutil/custom.h>

namespace bwv {

QString stringbyReplacingProduceName(const QString &text) {
    static const QString kDefaultName = QStringLiteral("BrindleWave");
    const char *name = get_bwvpname();
    const QString product = name ? QString::fromUtf8(name) : kDefaultName;
    QString out = text;
    out.replace(kDefaultName, product, Qt::CaseSensitive);
    return out;
}

}  // namespace bwv
