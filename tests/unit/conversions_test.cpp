// find_conversion: which rule of the class serves a missing name and the command
// vector it builds, with rules read from a real wharfd.conf.
#include "config/conversions.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "isolated_child.h"
#include "session_fixture.h"

namespace {

using Vector = std::vector<std::string>;

// The vector as strings, or {"(null)"} for no conversion.
Vector conversion_of(const std::string& name) {
    char** argv = find_conversion(name.c_str());
    if (argv == nullptr) return {"(null)"};
    Vector words;
    for (char** p = argv; *p != nullptr; ++p) words.emplace_back(*p);
    free_conversion_argv(argv);
    return words;
}

class ConversionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        previous_config_dir_ = config_dir;
        config_dir = work_dir_.c_str();
    }
    void TearDown() override {
        config_dir = previous_config_dir_;
        SessionTest::TearDown();
    }
    void load(const std::string& config) {
        std::ofstream(work_dir_ + "/wharfd.conf") << config;
        load_config("staff");
    }
    static void write_file(const std::string& name, const std::string& content) {
        std::ofstream(name, std::ios::binary) << content;
    }

    const char* previous_config_dir_ = nullptr;
};

TEST_F(ConversionTest, RulesDecideByNameAndFile) {
    ASSERT_EQ(mkdir("pub", 0755), 0);
    ASSERT_EQ(mkdir("-rf", 0755), 0);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    write_file("readme", "text\n");
    write_file("sub/notes", "text\n");
    std::string nogz = work_dir_ + "/nogz";
    load("conversion all .gz f " + nogz + " /usr/bin/gzip -c %s\n"
         "conversion staff .tar d . /usr/bin/tar -cf - %s\n"
         "conversion all .tar.gz d . /usr/bin/tar -czf - %s\n"
         "conversion all .Z f . /usr/bin/compress %s\n"
         "conversion all .out f .   gzip  -c   --stdout=%s\t%s  \n"
         "conversion all .any fd . /bin/any %s\n"
         "conversion all .odd q . /bin/odd %s\n"
         "conversion all .off f . /bin/cat %s\n"
         "conversion none .off\n"
         "conversion other .cls f . /bin/cat %s\n");
    struct Case {
        const char* request;
        Vector expected;
    } cases[] = {
        {"pub.tar", {"/usr/bin/tar", "-cf", "-", "pub"}},
        {"readme.tar", {"(null)"}},  // a plain file, the rule wants a directory
        {"readme.gz", {"/usr/bin/gzip", "-c", "readme"}},
        {"pub.gz", {"(null)"}},
        {".gz", {"(null)"}},          // the name must be longer than the suffix
        {"missing.gz", {"(null)"}},   // the base file must exist
        {"readme.z", {"(null)"}},     // suffixes are compared with case
        {"readme.Z", {"/usr/bin/compress", "readme"}},
        // Only a whole word "%s" is the base name; runs of blanks and tabs separate.
        {"readme.out", {"gzip", "-c", "--stdout=%s", "readme"}},
        {"readme.any", {"/bin/any", "readme"}},
        {"pub.any", {"/bin/any", "pub"}},
        {"readme.odd", {"(null)"}},   // only f and d mean a kind of file
        {"readme.off", {"(null)"}},   // switched off by the "none" line
        {"readme.cls", {"(null)"}},   // a rule of another class
        {"sub/notes.gz", {"/usr/bin/gzip", "-c", "sub/notes"}},
        // A name that looks like an option is passed as a path.
        {"-rf.tar", {"/usr/bin/tar", "-cf", "-", "./-rf"}},
        // .gz comes first in the file: its base name pub.tar does not exist, so the
        // .tar.gz rule serves the request.
        {"pub.tar.gz", {"/usr/bin/tar", "-czf", "-", "pub"}},
    };
    for (const Case& c : cases) EXPECT_EQ(conversion_of(c.request), c.expected) << c.request;

    // Once pub.tar exists, the .gz rule listed first wins over the longer suffix.
    write_file("pub.tar", "archive");
    EXPECT_EQ(conversion_of("pub.tar.gz"), (Vector{"/usr/bin/gzip", "-c", "pub.tar"}));

    // The disable file switches the rule off while it exists.
    write_file(nogz, "");
    EXPECT_EQ(conversion_of("readme.gz"), Vector{"(null)"});
    unlink(nogz.c_str());
    EXPECT_EQ(conversion_of("readme.gz"), (Vector{"/usr/bin/gzip", "-c", "readme"}));
}

// The command pipe globs its arguments, so the base name is quoted for glob: the
// command gets the file that was checked, whatever characters its name holds.
TEST_F(ConversionTest, BaseNameIsQuotedForTheCommandPipe) {
    load("conversion all .cat f . /bin/cat %s\n");
    struct Case {
        const char* file;
        const char* argument;
    } cases[] = {
        {"a*b", "a\\*b"},
        {"{x,y}", "\\{x,y\\}"},
        {"[ab]", "\\[ab\\]"},
        {"~root", "\\~root"},
        {"back\\slash?", "back\\\\slash\\?"},
        {"-{n}", "./-\\{n\\}"},
        {"with blank", "with blank"},
    };
    for (const Case& c : cases) {
        write_file(c.file, "x");
        EXPECT_EQ(conversion_of(std::string(c.file) + ".cat"), (Vector{"/bin/cat", c.argument})) << c.file;
    }
}

TEST_F(ConversionTest, NamesLongerThanTheBufferAreNotConverted) {
    // A base directory whose name with ".tar" is exactly 1023 characters long, and
    // one a character longer.
    std::string base = std::string(200, 'd') + "/" + std::string(200, 'd') + "/" + std::string(200, 'd') +
                       "/" + std::string(200, 'd') + "/";
    std::string fits = base + std::string(1019 - base.size(), 'e');
    std::string too_long = base + std::string(1020 - base.size(), 'e');
    ASSERT_EQ(fits.size(), 1019u);
    ASSERT_EQ(std::system(("mkdir -p " + fits + " " + too_long).c_str()), 0);
    load("conversion all .tar d . /usr/bin/tar -cf - %s\n");
    EXPECT_EQ(conversion_of(fits + ".tar"), (Vector{"/usr/bin/tar", "-cf", "-", fits}));
    EXPECT_EQ(conversion_of(too_long + ".tar"), Vector{"(null)"});
}

TEST_F(ConversionTest, ErrnoIsThatOfTheCallersOpen) {
    ASSERT_EQ(mkdir("pub", 0755), 0);
    load("conversion all .gz f /nonexistent/disable /usr/bin/gzip -c %s\n"
         "conversion all .tar d . /usr/bin/tar -cf - %s\n");
    // Inside, stat fails on the disable file and on the base name.
    for (const char* request : {"missing.gz", "missing.tar", "pub.gz", "nothing"}) {
        errno = EACCES;
        EXPECT_EQ(find_conversion(request), nullptr) << request;
        EXPECT_EQ(errno, EACCES) << request;
    }
    errno = EACCES;
    char** argv = find_conversion("pub.tar");
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(errno, EACCES);
    free_conversion_argv(argv);
    free_conversion_argv(nullptr);  // nothing to release
}

// A rule without suffix cannot come from the file; it is skipped with a warning.
TEST(Conversion, RuleWithoutSuffixIsSkipped) {
    isolated::TempDir dir;
    std::filesystem::create_directory(dir.file("pub"));
    std::string base = dir.path();
    isolated::Result result = isolated::run([&]() {
        if (chdir(base.c_str()) != 0) return std::string("chdir failed");
        auto* broken = new ConversionRule;
        broken->types = strdup_or_die("d");
        broken->disable = strdup_or_die(".");
        broken->command = strdup_or_die("/bin/broken %s");
        auto* good = new ConversionRule;
        good->suffix = strdup_or_die(".tar");
        good->types = strdup_or_die("d");
        good->disable = strdup_or_die(".");
        good->command = strdup_or_die("/usr/bin/tar -cf - %s");
        broken->next = good;
        curclass.conversions = broken;
        char** argv = find_conversion("pub.tar");
        std::string words;
        for (char** p = argv; p != nullptr && *p != nullptr; ++p) words += std::string(*p) + "|";
        free_conversion_argv(argv);
        return words;
    });
    ASSERT_EQ(result.setup_error, "");
    EXPECT_EQ(result.output, "/usr/bin/tar|-cf|-|pub|");
    ASSERT_EQ(result.log.size(), 1u);
    EXPECT_EQ(result.log[0].priority, LOG_FTP | LOG_WARNING);
    EXPECT_EQ(result.log[0].text, "cp->suffix==NULL in conv list; SHOULDN'T HAPPEN!");
}

}  // namespace
