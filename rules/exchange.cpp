#include "rules/exchange.h"

#include <algorithm>
#include <functional>

namespace tarn {

ShareCut cut_at(Array<double>& ranked, size_t count) {
    if (count == 0) return {};
    std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(count - 1),
                     ranked.end(), std::greater<double>());
    return {true, ranked[count - 1]};
}

ShareCut LocalExchange::share_cut(Array<double>& ranked, size_t wanted) {
    return cut_at(ranked, std::min(wanted, ranked.size()));
}

}  // namespace tarn
