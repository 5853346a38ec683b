// The outcome value that failures cross module edges in.
#include <gtest/gtest.h>

#include <cerrno>

#include "core/status.h"

using namespace tallysv;

TEST(Status, SuccessFailureAndSystemErrorsCarryWhatTheCallerPrints) {
    Status fine;
    EXPECT_TRUE(fine.isOk());
    EXPECT_TRUE(static_cast<bool>(fine));
    EXPECT_EQ(fine.reason(), "");
    EXPECT_EQ(fine.error(), 0);

    Status refused = Status::failure("address in use by a running server");
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.reason(), "address in use by a running server");
    EXPECT_EQ(refused.error(), 0);

    Status noFile = Status::systemError(ENOENT, "USERS.dat");
    EXPECT_FALSE(noFile);
    EXPECT_EQ(noFile.reason(), "USERS.dat: No such file or directory");
    EXPECT_EQ(noFile.error(), ENOENT);
    EXPECT_EQ(Status::systemError(EACCES).reason(), "Permission denied");

    errno = EEXIST;
    Status fromErrno = Status::fromErrno();
    EXPECT_EQ(fromErrno.error(), EEXIST);
    EXPECT_EQ(fromErrno.reason(), "File exists");
}
