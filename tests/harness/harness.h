// The integration test harness: test sites, the server under test, its syslog and
// a small FTP client. A typical test:
//
//   TestSite site;
//   site.write_etc("ftpwelcome", "Hello.\n");
//   auto server = ServerProcess::start(site, {.arguments = {"-d"}});
//   ASSERT_NE(server, nullptr);
//   Reply greeting = server->client().read_reply();
//   EXPECT_EQ(greeting.raw, "220-\r\n    Hello.\r\n220 ...\r\n");
//   EXPECT_TRUE(server->log().wait_for("<--- 220 ")) << server->log().dump();
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fd.h"
#include "ftp_client.h"
#include "server_process.h"
#include "super_server.h"
#include "syslog_capture.h"
#include "test_site.h"

// Names the cases of a parameterized test after their `label` field:
// INSTANTIATE_TEST_SUITE_P(Group, Test, testing::ValuesIn(cases), CaseLabel());
struct CaseLabel {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& case_info) const {
        return case_info.param.label;
    }
};
