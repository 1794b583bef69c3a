#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/os.h"
#include "tests/support/stdout_capture.h"
#include "utils/log.h"
#include "utils/options.h"

namespace {

// A table like the programs' own: port comes before port_min on purpose.
struct settings {
    int32_t port = 6689;
    int32_t port_min = 6881;
    option_text dir{};
    int32_t trace = 0;
    uint16_t shorty = 7;
    uint32_t addr = 0;
    option_text secret{};
    int32_t odd = 0;
    option_entry table[9];

    settings() {
        table[0] = option_def("port", &port, 4, OPT_INT);
        table[1] = option_def("port_min", &port_min, 4, OPT_INT);
        table[2] = option_def("dir", &dir, 255, OPT_TEXT);
        table[3] = option_def("trace", &trace, 4, OPT_FLAG);
        table[4] = option_def("shorty", &shorty, 2, OPT_SHORT);
        table[5] = option_def("addr", &addr, 4, OPT_IPV4);
        table[6] = option_def("secret", &secret, 255, OPT_SECRET);
        table[7] = option_def("odd", &odd, 4, 9);
        table[8] = option_entry{};
    }
    std::string dir_text() const { return std::string(dir.text, dir.len); }
};

// The message part of a severity line: what follows "%UTILS-X: ".
std::vector<std::string> messages(const stdout_capture &cap) {
    std::vector<std::string> out;
    for (const std::string &l : cap.lines()) {
        size_t at = l.find("%UTILS");
        out.push_back(at == std::string::npos ? l : l.substr(at + 6));
    }
    return out;
}

int parse(settings &s, std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    return parse_command_line(int(argv.size()), argv.data(), s.table);
}

std::string write_file(const std::string &text) {
    static int serial = 0;
    std::string path =
        (std::filesystem::temp_directory_path() /
         ("varnex-options-" + std::to_string(os_process_id()) + "-" + std::to_string(++serial)))
            .string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(bool(out.flush()));
    return path;
}

TEST(OptionsTest, CommandLineMatchesWholeNamesIgnoringCase) {
    settings s;
    stdout_capture cap;
    EXPECT_EQ(1, parse(s, {"-TRACE", "", "-port_min=7000", "-por=1", "x=1", "/Port=  42 ",
                           "-dir=  /a b/c  "}));
    EXPECT_EQ(1, s.trace);
    EXPECT_EQ(7000, s.port_min);
    EXPECT_EQ(42, s.port);
    EXPECT_EQ("/a b/c", s.dir_text());
    auto m = messages(cap);
    ASSERT_EQ(2u, m.size());
    EXPECT_EQ("-E: 4 : Skip unrecognized option: 'por=1'", m[0]);
    EXPECT_EQ("-E: 5: Option must be started with a '-', skip : 'x=1'", m[1]);

    settings t;
    parse(t, {"/trace=0"});
    EXPECT_EQ(1, t.trace);
}

TEST(OptionsTest, CommandLineStoresEveryTypeAndReportsBadValues) {
    settings s;
    stdout_capture cap;
    std::string long_value(300, 'v');
    parse(s, {"-dir=" + long_value, "-shorty=70000", "-addr=10.1.2.3", "-secret=hunter2", "-odd=5",
              "-addr=nonsense", "-port", "-port=-12abc"});
    EXPECT_EQ(255, s.dir.len);
    EXPECT_EQ(std::string(255, 'v'), s.dir_text());
    EXPECT_EQ('\0', s.dir.text[255]);
    EXPECT_EQ(uint16_t(70000 & 0xFFFF), s.shorty);
    EXPECT_EQ(0u, s.addr); // the failed conversion is stored all the same
    EXPECT_EQ("hunter2", std::string(s.secret.text, s.secret.len));
    EXPECT_EQ(0, s.odd);
    EXPECT_EQ(-12, s.port);
    auto m = messages(cap);
    ASSERT_EQ(2u, m.size());
    EXPECT_EQ("-E: 5 : Unrecognized option's 'odd' internal type : 0x9", m[0]);
    EXPECT_EQ("-E: 6 : Error conversion 'nonsense' to IP4 address", m[1]);
}

TEST(OptionsTest, ListingShowsEachTypeInItsFormat) {
    settings s;
    parse(s, {"-dir=/var/cache", "-addr=10.1.2.3", "-secret=hunter2", "-port=-1"});
    stdout_capture cap;
    EXPECT_EQ(1, list_options(s.table));
    auto m = messages(cap);
    std::vector<std::string> want = {"-I: port = -1 (0xFFFFFFFF)",   "-I: port_min = 6881 (0x1AE1)",
                                     "-I: dir[0:10] ='/var/cache'",  "-I: trace = OFF",
                                     "-I: shorty = 7 (0x0007)",      "-I: addr = 10.1.2.3",
                                     "-I: secret[0:7] ='<password>'"};
    EXPECT_EQ(want, m);
}

TEST(OptionsTest, OptionsFileAllowsAbbreviationsAndComments) {
    settings s;
    std::string path = write_file("! a comment line\n"
                                  "   \n"
                                  "-port_min=7000 ! main port\n"
                                  "port=1\n"
                                  "-tr\n"
                                  "-nothing=3\n"
                                  "-di=  /x/y  \n"
                                  "/odd=4\n" +
                                  std::string(300, ' ') + "-shorty=9\n" +
                                  "-=3\n"); // an empty name selects no entry
    stdout_capture cap;
    EXPECT_EQ(1, read_options_file(path.c_str(), s.table));
    std::remove(path.c_str());
    EXPECT_EQ(7000, s.port); // port comes first and agrees over "port"
    EXPECT_EQ(6881, s.port_min);
    EXPECT_EQ(1, s.trace);
    EXPECT_EQ("/x/y", s.dir_text());
    EXPECT_EQ(9, s.shorty); // the over-long line was read as two lines
    auto m = messages(cap);
    ASSERT_EQ(4u, m.size());
    EXPECT_EQ("-E: " + path + " : 4 : Option must be started with a '-', skip : 'port=1'", m[0]);
    EXPECT_EQ("-W: " + path + " : 6 : Skip unrecognized or unused option", m[1]);
    EXPECT_EQ("-E: " + path + " : 8 : Unrecognized option's 'odd' internal type : 0x9", m[2]);
    EXPECT_EQ("-W: " + path + " : 11 : Skip unrecognized or unused option", m[3]);
}

TEST(OptionsTest, OptionsFileNamedOnTheCommandLineAndMissingFile) {
    settings s;
    option_text file{};
    option_entry table[3] = {option_def("port", &s.port, 4, OPT_INT),
                             option_def("opts", &file, 255, OPT_FILE), option_entry{}};
    std::string path = write_file("-port=5\n");
    std::string arg = "-opts=" + path;
    char *argv[] = {const_cast<char *>("prog"), arg.data()};
    stdout_capture cap;
    parse_command_line(2, argv, table);
    EXPECT_EQ(5, s.port);
    EXPECT_EQ(path, std::string(file.text, file.len));
    std::remove(path.c_str());
    EXPECT_EQ(1, read_options_file("/nonexistent/varnex.opt", table));
    auto m = messages(cap);
    ASSERT_EQ(1u, m.size());
    EXPECT_EQ("-F: Error open file '/nonexistent/varnex.opt', errno = 2", m[0]);
    stdout_capture listing;
    list_options(table);
    EXPECT_EQ(1u, listing.lines().size()); // the file entry is not listed
}

TEST(OptionsTest, ReducedParserKeepsBlanksAbbreviatesAndListsWithLowerHex) {
    settings s;
    std::vector<std::string> args = {"prog",  "-por=255",  "-di=  /m  ", "",
                                     "-zz=1", "/secret=x", "-port_min"};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    stdout_capture cap;
    EXPECT_EQ(1, parse_and_list_options(int(argv.size()), argv.data(), s.table));
    EXPECT_EQ(255, s.port);
    EXPECT_EQ("  /m  ", s.dir_text());
    auto m = messages(cap);
    std::vector<std::string> want = {"-E: Option must be started with a '-', skip : ''",
                                     "-E: Skip unrecognized option: '-zz=1'",
                                     "-E: Unrecognized option's 'secret' internal type : 6",
                                     "-I: port = 255 (0xff)",
                                     "-I: port_min = 6881 (0x1ae1)",
                                     "-I: dir[0:6] ='  /m  '",
                                     "-I: trace = OFF",
                                     "-I: shorty = 7 (0x0007)",
                                     "-I: addr = 0.0.0.0"};
    EXPECT_EQ(want, m);
}

TEST(OptionsTest, SixtyFourBitPositionsPassWholeThroughBothParsers) {
    int64_t pos = 0;
    option_entry table[2] = {option_def("pos", &pos, 8, OPT_INT64), option_entry{}};
    std::string a = "-pos=4295367296", b = "-po=-5000000000";
    char *argv1[] = {const_cast<char *>("prog"), a.data()};
    char *argv2[] = {const_cast<char *>("prog"), b.data()};
    stdout_capture cap;
    parse_command_line(2, argv1, table);
    EXPECT_EQ(4295367296LL, pos);
    list_options(table);
    parse_and_list_options(2, argv2, table);
    EXPECT_EQ(-5000000000LL, pos);
    auto m = messages(cap);
    std::vector<std::string> want = {"-I: pos = 4295367296 (0x100061A80)",
                                     "-I: pos = -5000000000 (0xfffffffed5fa0e00)"};
    EXPECT_EQ(want, m);
}

TEST(OptionsTest, TrimTextRemovesBothEnds) {
    char a[] = " \t\r\nvalue x \v\f";
    EXPECT_EQ(7u, trim_text(a, unsigned(strlen(a))));
    EXPECT_STREQ("value x", a);
    char b[] = "   ";
    EXPECT_EQ(0u, trim_text(b, 3));
    EXPECT_STREQ("", b);
    EXPECT_EQ(0u, trim_text(nullptr, 5));
}

} // namespace
