// The common set-up of the interoperability tests: a test site with an anonymous
// area and the real user bob (password "secret"), a super-server for it, and the
// clients' scratch directories. At the end every session must have ended by
// itself, none by a crash.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "clients.h"
#include "harness/harness.h"

class Interop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(site.ok());
        ASSERT_TRUE(home.ok());
        bob_uid = site.add_user({.name = "bob", .password = "secret"});
        site.write_etc("ftpusers", "ftp allow\nanonymous allow\nbob allow\n* deny\n");
    }

    void TearDown() override {
        if (super == nullptr) return;
        EXPECT_TRUE(super->wait_all_ended()) << super->log().dump();
        EXPECT_TRUE(super->crashed().empty()) << super->log().dump();
    }

    // Starts the super-server; -d logs every dialogue, for failure messages.
    bool serve(ServerOptions options = {.arguments = {"-d"}}) {
        super = SuperServer::start(site, std::move(options));
        return super != nullptr;
    }

    // "ftp://127.0.0.1:<port>" (or [::1]) followed by `path`.
    std::string url(std::string_view path = "/", Connection family = Connection::ipv4) const {
        std::string host = family == Connection::ipv6 ? "[::1]" : "127.0.0.1";
        return "ftp://" + host + ":" + std::to_string(super->port(family)) + std::string(path);
    }

    ClientResult run(ClientCommand command) { return run_client(home, command, super.get()); }

    // What the server's log says, for failure messages.
    std::string server_log() { return super != nullptr ? super->log().dump() : ""; }

    // A path in bob's home directory on the server.
    std::string bob_path(std::string_view relative) const {
        return site.root_path("home/bob/" + std::string(relative));
    }

    TestSite site;
    ClientHome home;
    std::unique_ptr<SuperServer> super;
    uid_t bob_uid = 0;
};
