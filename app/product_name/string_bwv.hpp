// Product-name substitution for user-visible texts.
#pragma once

#include <QString>

namespace bwv {

// `text` with every "BrindleWave" (literal, case-sensitive, scanned from the start
// without overlaps) replaced by the deployment's product name (get_bwvpname, read as
// UTF-8). Without a rebrand file the text comes back unchanged.
QString stringbyReplacingProduceName(const QString &text);

}  // namespace bwv
