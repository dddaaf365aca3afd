// HELP and SITE HELP: the column layout, the marks and the syntax lines.
#include "session_fixture.h"

namespace {

class HelpTest : public SessionTest {};

// The command table in 9 columns of width 8 and 7 lines, names running down the
// columns; "-" marks what is not implemented, "+" what takes options.
const char* const command_list =
    "214-\r\n"
    "    The following commands are recognized.\r\n"
    "    (`-' = not implemented, `+' = supports options)\r\n"
    "    USER    REIN-   TYPE    ALLO    MKD     HELP    MIC     MLST+   MSND-\r\n"
    "    PASS    PORT    STRU    REST    PWD     NOOP+   CONF    MLSD    MSOM-\r\n"
    "    ACCT-   LPRT    MODE    RNFR    LIST    AUTH    ENC     MAIL-   XCUP\r\n"
    "    CWD     EPRT    RETR    RNTO    NLST    ADAT    FEAT    MLFL-   XCWD\r\n"
    "    CDUP    PASV    STOR    ABOR    SITE    PROT    OPTS    MRCP-   XMKD\r\n"
    "    SMNT-   LPSV    STOU    DELE    SYST    PBSZ    MDTM    MRSQ-   XPWD\r\n"
    "    QUIT    EPSV    APPE    RMD     STAT    CCC     SIZE    MSAM-   XRMD\r\n";

const char* const site_list =
    "214-\r\n"
    "    The following SITE commands are recognized.\r\n"
    "    (`-' = not implemented, `+' = supports options)\r\n"
    "    CHMOD   HELP    IDLE    RATEGET RATEPUT UMASK\r\n";

TEST_F(HelpTest, ListsTheCommandTableInColumns) {
    std::string reply = run("HELP");
    ASSERT_GE(reply.size(), std::strlen(command_list));
    EXPECT_EQ(reply.substr(0, std::strlen(command_list)), command_list);
    std::string last = reply.substr(std::strlen(command_list));
    EXPECT_EQ(last.substr(0, 4), "214 ");
    EXPECT_NE(last.find("test.example"), std::string::npos);
    EXPECT_EQ(last.find("\r\n"), last.size() - 2);
}

TEST_F(HelpTest, ListsTheSiteTable) {
    for (const char* line : {"SITE HELP", "HELP site", "HELP SITE"}) {
        std::string reply = run(line);
        EXPECT_EQ(reply.substr(0, std::strlen(site_list)), site_list) << line;
    }
}

struct HelpCase {
    const char* line;
    const char* reply;
};

const HelpCase help_cases[] = {
    {"HELP retr", "214 Syntax: RETR <sp> file-name\r\n"},
    {"HELP REIN", "504 REIN    \t(reinitialize server state); not implemented.\r\n"},
    {"HELP bogus", "502 Unknown command 'bogus'.\r\n"},
    {"HELP SITE CHMOD", "214 Syntax: SITE CHMOD <sp> mode <sp> file-name\r\n"},
    {"HELP SITEIDLE", "214 Syntax: SITE IDLE [ <sp> maximum-idle-time ]\r\n"},
    {"SITE HELP idle", "214 Syntax: SITE IDLE [ <sp> maximum-idle-time ]\r\n"},
    {"SITE HELP nothing", "502 Unknown command 'nothing'.\r\n"},
    {"HELP NOOP", "214 Syntax: NOOP \r\n"},
};

TEST_F(HelpTest, ShowsOneCommand) {
    for (const HelpCase& c : help_cases) EXPECT_EQ(run(c.line), c.reply) << c.line;
}

}  // namespace
