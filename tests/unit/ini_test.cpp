#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/ini.h"

namespace {

class IniTest : public testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/ini_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_Dir = dir;
    }
    void TearDown() override
    {
        for (const std::string &path : m_Files)
            unlink(path.c_str());
        rmdir(m_Dir.c_str());
    }

    // Writes `content` byte for byte to a new file and returns its path.
    std::string Write(const std::string &content)
    {
        std::string path = m_Dir + "/" + std::to_string(m_Files.size()) + ".ini";
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(nullptr, file);
        if (file != nullptr) {
            fwrite(content.data(), 1, content.size(), file);
            fclose(file);
        }
        m_Files.push_back(path);
        return path;
    }

    // Loads `content` into m_Ini and expects success.
    void Load(const std::string &content) { ASSERT_EQ(0, m_Ini.Load(Write(content).c_str(), "r")); }
    std::string Get(const char *section, const char *key) { return m_Ini.GetValue(section, key); }

    std::string m_Dir;
    std::vector<std::string> m_Files;
    CIni m_Ini;
};

TEST_F(IniTest, ConfigurationFileShape)
{
    Load("[user0]\nusername = \"admin\"\npassword = \"\"\n[user1]\nusername = \"guest\"\n");
    EXPECT_EQ("admin\"", Get("user0", "username"));
    EXPECT_EQ("\"", Get("user0", "password"));
    EXPECT_EQ("guest\"", Get("user1", "username"));
    EXPECT_EQ("", Get("user1", "password"));
    EXPECT_EQ("", Get("user2", "username"));
}

TEST_F(IniTest, ValueStartsThreeAfterTheEqualsSign)
{
    Load("key=ab\nother=abc\nk=v\nshort=\nx = 'one two'\n  lead = xvalue\ntab\t= x\tv\t\n");
    EXPECT_EQ("", Get("", "key")); // the value starts exactly at the line end
    EXPECT_EQ("c", Get("", "other"));
    EXPECT_EQ("", Get("", "k")); // too short to hold a value: skipped
    EXPECT_EQ("", Get("", "short"));
    EXPECT_EQ("one", Get("", "x"));       // cut before the first space
    EXPECT_EQ("value", Get("", ""));      // a leading space gives the empty key
    EXPECT_EQ("\tv\t", Get("", "tab\t")); // tabs are ordinary characters
}

TEST_F(IniTest, LineEndsAndHeaders)
{
    Load("a = \"x\"\r\n  [user0]  \r\nusername = \"admin\"\r\n[us er]\nk = \"v\"\n[]\nk = \"e\"\n");
    EXPECT_EQ("admin\"", Get("user0", "username"));
    EXPECT_EQ("v\"", Get("us er", "k"));
    // The nameless header reopens the empty section, whose last block wins.
    EXPECT_EQ("e\"", Get("", "k"));
    EXPECT_EQ("", Get("", "a"));
}

TEST_F(IniTest, HeaderWinsOverKeyAndBracketsAnywhere)
{
    Load("[a]\nx = [b] = 1\ny = \"2\"\n");
    EXPECT_EQ("", Get("a", "x"));
    EXPECT_EQ("2\"", Get("b", "y"));
}

TEST_F(IniTest, RepeatedSectionKeepsOnlyItsLastBlock)
{
    // Closed by a header and by the end of the file alike.
    Load("[a]\nx = \"1\"\n[b]\nz = \"3\"\n[a]\ny = \"2\"\ny = \"4\"\n[b]\nw = \"5\"\n");
    EXPECT_EQ("", Get("a", "x"));
    EXPECT_EQ("4\"", Get("a", "y"));
    EXPECT_EQ("", Get("b", "z"));
    EXPECT_EQ("5\"", Get("b", "w"));
}

TEST_F(IniTest, MalformedLinesLeaveOthersAlone)
{
    Load("[s]\nk=v\n]a[\n; comment = \"c\"\n# no equals sign\nname = \"n\"\n=\n");
    EXPECT_EQ("n\"", Get("s", "name"));
    EXPECT_EQ("", Get("s", "k"));
    EXPECT_EQ("", Get("a", "name"));
    EXPECT_EQ("c\"", Get("s", ";"));
}

TEST_F(IniTest, LongLineIsReadInPiecesOf255)
{
    // 300 characters: the first read takes "k = " and 251 characters, the
    // second the remaining 45, which form a key line of their own.
    std::string first(251, 'a');
    std::string rest = "b=xyz" + std::string(40, 'c');
    Load("[s]\nk = " + first + rest + "\nnext = \"ok\"\n");
    EXPECT_EQ(first.substr(1), Get("s", "k"));
    EXPECT_EQ(250u, Get("s", "k").size());
    EXPECT_EQ("z" + std::string(40, 'c'), Get("s", "b"));
    EXPECT_EQ("ok\"", Get("s", "next"));
}

TEST_F(IniTest, LongestValueFitsTheValueBuffer)
{
    // "=", two skipped characters and 252 more fill one 255-character read.
    std::string value(252, 'v');
    Load("=.." + value + "\n");
    EXPECT_EQ(value, Get("", ""));
}

TEST_F(IniTest, MissingFileReportsAndKeepsEarlierContent)
{
    std::string missing = m_Dir + "/absent.ini";
    testing::internal::CaptureStdout();
    EXPECT_EQ(2, m_Ini.Load(missing.c_str(), "r"));
    fflush(stdout);
    EXPECT_EQ("open inifile " + missing + " error!\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", Get("user0", "username"));

    Load("[user0]\nusername = \"admin\"\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(2, m_Ini.Load(missing.c_str(), "r"));
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("admin\"", Get("user0", "username"));

    // A later readable file replaces everything.
    Load("[other]\nk = \"v\"\n");
    EXPECT_EQ("", Get("user0", "username"));
    EXPECT_EQ("v\"", Get("other", "k"));
}

TEST_F(IniTest, EmptyFileAndValueBufferReuse)
{
    Load("");
    EXPECT_EQ("", Get("", ""));
    Load("a = \"long value\"\nb = \"x\"\n");
    const char *first = m_Ini.GetValue("", "a");
    EXPECT_STREQ("long", first);
    const char *second = m_Ini.GetValue("", "b");
    EXPECT_EQ(first, second); // one buffer, overwritten whole
    EXPECT_STREQ("x\"", second);
    EXPECT_EQ(0, second[3]);
}

} // namespace
