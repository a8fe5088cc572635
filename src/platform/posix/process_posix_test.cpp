// Exit codes on POSIX: a failure never reads as success.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace qm {
namespace {

TEST(ExitCode, FromRunStatus) {
    struct Case { uint32_t status; int code; };
    const Case cases[] = {
        {0, 0}, {1, 1}, {0x80070005u, 5}, {0x80092004u, 4}, {0x800B0100u, 255},
        {0x80070002u, 2}, {0x80096005u, 5}, {0x80000000u, 255}, {0x00000100u, 255},
    };
    for (const Case& c : cases) EXPECT_EQ(c.code, ProcessExitCode(static_cast<int32_t>(c.status)));
}

}  // namespace
}  // namespace qm
