#pragma once

#include <QString>

#include <optional>

// The order of two published versions, for the rules that must never step a
// desk back and for the fleet report's "newest". Versions made of dotted
// whole numbers ("2.1", "2.1.0", "10.0.3") compare number by number, a
// missing part counting as 0, so 2.1 and 2.1.0 are one version and 1.10.0
// is above 1.9.0. Anything else (a letter, a blank, an empty part, a sign)
// has no order here: nullopt, and the caller keeps its "differs" rule.
// Negative when a is below b, 0 when they are one version, positive above.
std::optional<int> compareVersions(const QString &a, const QString &b);
