#include "rows.hpp"

#include "status.hpp"

#include <gmock/gmock.h>

#include <algorithm>

Spawn fault_run(const Fault &row, const char *program, const char *twin)
{
    const bool injected = !std::string(row.inject).empty();
    Spawn spawn{.argv = {injected ? twin : program, "ignored"}, .env = row.env, .limits = row.limits};
    if (injected) {
        spawn.env.push_back(std::string("FAULT_INJECT=") + row.inject);
    }
    return spawn;
}

void expect_fault(const Fault &row, const Recording &r)
{
    EXPECT_THAT(r.status, ExitedWith(row.status));
    EXPECT_EQ(r.err, row.err);
    std::vector<std::string> out = r.texts();
    if (!row.uncounted.empty()) {
        out.erase(std::remove(out.begin(), out.end(), row.uncounted), out.end());
    }
    EXPECT_THAT(out, testing::UnorderedElementsAreArray(row.out));
    EXPECT_EQ(out.empty() ? "" : out.back(), row.last);
}
