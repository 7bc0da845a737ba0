#include "regularity.h"

#include <algorithm>
#include <cmath>

namespace simulador {

Regularity regularity(std::vector<unsigned long long> gaps)
{
    Regularity r;
    r.gaps = gaps.size();
    if (gaps.empty())
        return r;
    std::sort(gaps.begin(), gaps.end());
    const auto rank = [&](double share) {
        const auto n = static_cast<std::size_t>(std::ceil(share * double(gaps.size()) - 1e-9));
        return gaps[std::max<std::size_t>(n, 1) - 1];
    };
    r.median = rank(0.5);
    r.p99 = rank(0.99);
    r.p999 = rank(0.999);
    r.longest = gaps.back();
    r.overTwice = std::size_t(gaps.end() - std::upper_bound(gaps.begin(), gaps.end(), 2 * r.median));
    return r;
}

}  // namespace simulador
