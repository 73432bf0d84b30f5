// Did-you-mean for people typing names: a settings key, an option, a
// drawer id. Letters are compared without case, as the INI files and the
// catalogue treat them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cashdrawer {

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Insertions, deletions, substitutions and swaps of two neighbours, each
// one step (a swap is the commonest slip on a keyboard: "PlolMs").
inline std::size_t EditDistance(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= m; ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = LowerAscii(a[i - 1]) == LowerAscii(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && LowerAscii(a[i - 1]) == LowerAscii(b[j - 2]) &&
                LowerAscii(a[i - 2]) == LowerAscii(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[n][m];
}

// The known names nearest to `typed`: those a few slips away (one slip in
// three letters, at most three), else those it begins (a model's name
// without its drawer: "RN340" for "RN340_CashA"). At most `most`, in the
// order of `known`; none when nothing is near.
inline std::vector<std::string> NearestNames(std::string_view typed, const std::vector<std::string>& known,
                                             std::size_t most = 3) {
    if (typed.empty()) {
        return {};
    }
    const std::size_t allowed = std::clamp<std::size_t>(typed.size() / 3, 1, 3);
    std::size_t best = allowed;
    std::vector<std::string> nearest;
    for (const std::string& name : known) {
        const std::size_t distance = EditDistance(typed, name);
        if (distance > allowed) {
            continue;
        }
        if (distance < best) {
            best = distance;
            nearest.clear();
        }
        if (distance == best && nearest.size() < most) {
            nearest.push_back(name);
        }
    }
    if (!nearest.empty()) {
        return nearest;
    }
    for (const std::string& name : known) {
        const bool begins = name.size() > typed.size() &&
                            EditDistance(typed, std::string_view(name).substr(0, typed.size())) == 0;
        if (begins && nearest.size() < most) {
            nearest.push_back(name);
        }
    }
    return nearest;
}

// "PollMs", "PollMs or LeftOpenMs": for a message that ends "did you mean ...?".
inline std::string OneOf(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text;
}

} // namespace cashdrawer
