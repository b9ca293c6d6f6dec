#include "platform/ProgramFolder.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

using namespace tandemora;

TEST(ProgramFolder, DefaultsToTheExecutablesFolderAndCanBeReplaced) {
    std::string own = GetProgramFolder();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ('/', own.back());

    SetProgramFolder("/tmp/elsewhere");
    EXPECT_EQ("/tmp/elsewhere/", GetProgramFolder());
    SetProgramFolder("");
    EXPECT_EQ(own, GetProgramFolder());
}

TEST(Exceptions, ClassNamesAreTheOnesTheErrorLogShows) {
    EXPECT_EQ("EConvertError", ExceptionClassName(EConvertError("x")));
    EXPECT_EQ("EListError", ExceptionClassName(EListError("x")));
    EXPECT_EQ("std::out_of_range", ExceptionClassName(std::out_of_range("x")));
}
