// The column count of a file's first row, read with the object's delimiter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "inf.hpp"

namespace {

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/velmira-shape-XXXXXX";
        int fd = ::mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Inf objectFor(const std::string& path, char delimiter = ',') {
    return Inf(path, delimiter, {}, {}, false, false, "", 1000);
}

struct ShapeCase {
    const char* name;
    std::string content;
    char delimiter;
    int columns;
};

class NumColsTest : public testing::TestWithParam<ShapeCase> {};

TEST_P(NumColsTest, CountsTheFirstRowOnly) {
    const ShapeCase& c = GetParam();
    TempFile file(c.content);
    EXPECT_EQ(objectFor(file.path(), c.delimiter).getNumCols(), c.columns);
}

INSTANTIATE_TEST_SUITE_P(
    Files, NumColsTest,
    testing::Values(ShapeCase{"Empty", "", ',', 0}, ShapeCase{"SingleLF", "\n", ',', 1},
                    ShapeCase{"ThreeThenFive", "a,b,c\n1,2,3,4,5\n", ',', 3},
                    ShapeCase{"QuotedDelimiter", "a,\"x,y,z\",b\n", ',', 3},
                    ShapeCase{"Semicolon", "a,b;c\n", ';', 2},
                    ShapeCase{"TrailingDelimiterAtEnd", "a,b,", ',', 2},
                    ShapeCase{"TrailingDelimiterThenLF", "a,b,\n", ',', 3},
                    ShapeCase{"TwoQuotesOnly", "\"\"", ',', 0},
                    ShapeCase{"QuotedLineBreak", "\"a\nb\",c\nd\n", ',', 2}),
    [](const testing::TestParamInfo<ShapeCase>& param) { return std::string(param.param.name); });

TEST(NumCols, MissingPathThrows) {
    try {
        objectFor("/nonexistent/velmira/file.csv").getNumCols();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Something is wrong with input stream");
    }
}

TEST(NumCols, DirectoryThrowsInsteadOfCountingNothing) {
    EXPECT_THROW(objectFor("/tmp").getNumCols(), std::runtime_error);
}

TEST(NumCols, FollowsTheCurrentDelimiter) {
    TempFile file("a;b,c;d\n");
    Inf inf = objectFor(file.path());
    EXPECT_EQ(inf.getNumCols(), 2);
    inf.setDelimiter(';');
    EXPECT_EQ(inf.getNumCols(), 3);
}

TEST(ColNames, EmptyBeforeAnyPassThenTheHeader) {
    TempFile file("x,,y\n1,2,3\n");
    Inf inf = objectFor(file.path());
    EXPECT_TRUE(inf.getColNames().empty());
    inf.inferTypes();
    EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{"x", "Unitled_1", "y"}));
    EXPECT_EQ(inf.getNumRows(), 1u);
}

}  // namespace
