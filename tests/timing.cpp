#include "timing.hpp"

#include <algorithm>

testing::AssertionResult a_line_a_second(const std::vector<double> &times, double first_second)
{
    for (std::size_t k = 0; k < times.size(); k++) {
        const double due = first_second + static_cast<double>(k);
        if (times[k] < due) {
            return testing::AssertionFailure() << "line " << k + 1 << " came early, at " << times[k] << " s";
        }
        if (times[k] > times[0] + static_cast<double>(k) + kLate) {
            return testing::AssertionFailure() << "line " << k + 1 << " came late, at " << times[k] << " s, after "
                                               << times[0] << " s for the first";
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult together(const std::vector<double> &times)
{
    if (times.empty()) {
        return testing::AssertionSuccess();
    }
    const auto [low, high] = std::minmax_element(times.begin(), times.end());
    if (*high - *low > kTogether) {
        return testing::AssertionFailure() << "lines of one moment came " << *high - *low << " s apart";
    }
    return testing::AssertionSuccess();
}
