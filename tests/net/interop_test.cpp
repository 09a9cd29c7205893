// The client against independent servers, Apache (mod_auth_basic, mod_auth_digest) and nginx
// (auth_basic), each started by the test on a free loopback port with a configuration of its own
// in a temporary folder. Both answer an HTTP/1.1 request without a Host field with 400, so the
// other cases add one through the request's header table.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/net/net_test_util.h"

using nettest::TempDir;

namespace {

const std::string kFile = "recording one.bin";  // a target path with a blank
const std::string kContent = "0123456789 frame bytes of a recording\n";

bool Accepts(int port) {
    QNetwork::CQSocket s;
    s.OpenTCP();
    testing::internal::CaptureStdout();  // a refused connect prints its message
    s.Connect("127.0.0.1", port);
    testing::internal::GetCapturedStdout();
    return s.GetSocket() != platform::INVALID_SOCKET;
}

// Writes the site and password files, starts the server and stops it by its pid file's id.
class Site {
public:
    Site(const std::string& name, int port) : port_(port), pidFile_(dir / (name + ".pid")) {
        for (const char* folder : {"open", "basic", "digest"}) {
            std::filesystem::create_directories(dir.path / "htdocs" / folder);
            std::ofstream(dir.path / "htdocs" / folder / kFile) << kContent;
        }
        std::ofstream(dir / "htpasswd") << nettest::AuthTool({"htpasswd", "admin", "s3cret"});
        std::ofstream(dir / "htdigest")
            << nettest::AuthTool({"htdigest", "admin", "varnel digest", "s3cret"});
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path))
            std::filesystem::permissions(e.path(), std::filesystem::perms::all);
    }
    bool Start(const std::string& command) {
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        for (int i = 0; i < 200 && !(std::filesystem::exists(pidFile_) && Accepts(port_)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Accepts(port_);
    }
    ~Site() {
        const std::string pid = nettest::ReadFile(pidFile_);
        if (pid.empty() || pid.find_first_not_of("0123456789\n") != std::string::npos) return;
        std::system(("kill -TERM " + pid).c_str());
        for (int i = 0; i < 200 && Accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    TempDir dir;

private:
    int port_;
    std::string pidFile_;
};

// Fetches a path through the client, which ends when the server closes the connection.
std::pair<int, std::string> Fetch(int port, const std::string& path, const std::string& user,
                                  bool host = true) {
    nettest::RecordingClient client;
    if (host) client.Request().GetHeaderTable()["Host"] = "127.0.0.1:" + std::to_string(port);
    client.Open(("http://" + user + "127.0.0.1:" + std::to_string(port) + path).c_str());
    EXPECT_TRUE(client.WaitRecvEnd()) << path;
    client.Close();
    EXPECT_EQ(client.Get(client.recvEnds), 1);
    return {client.LastCode(), client.Body()};
}

// The answers both servers give for Basic: content for the right password, the body of the
// second 401 for a wrong one.
void CheckBasic(int port) {
    EXPECT_EQ(Fetch(port, "/open/" + kFile, "", false).first, 400);
    EXPECT_EQ(Fetch(port, "/open/" + kFile, ""), std::make_pair(200, kContent));
    EXPECT_EQ(Fetch(port, "/basic/" + kFile, "admin:s3cret@"), std::make_pair(200, kContent));
    const auto [code, body] = Fetch(port, "/basic/" + kFile, "admin:wrong@");
    EXPECT_EQ(code, 401);
    EXPECT_NE(body.find("<title>401 "), std::string::npos) << body;
}

}  // namespace

TEST(Interop, Apache) {
    if (!std::filesystem::exists("/usr/sbin/apache2")) GTEST_SKIP() << "no apache2";
    const int port = nettest::ClosedPort();
    Site site("apache", port);
    const TempDir& d = site.dir;
    std::string conf = "ServerRoot \"" + d.path.string() + "\"\nDefaultRuntimeDir \"" +
                       d.path.string() + "\"\nPidFile \"" + (d / "apache.pid") + "\"\nErrorLog \"" +
                       (d / "error.log") + "\"\nServerName 127.0.0.1\n" +
                       "Listen 127.0.0.1:" + std::to_string(port) + "\nKeepAlive Off\n" +
                       "StartServers 1\nUser www-data\nGroup www-data\n";
    for (const char* mod : {"mpm_prefork", "authn_core", "authn_file", "authz_core", "authz_user",
                            "auth_basic", "auth_digest"})
        conf += "LoadModule " + std::string(mod) + "_module /usr/lib/apache2/modules/mod_" + mod +
                ".so\n";
    // "AuthDigestQop none" (the form without qop) is refused by this Apache's configuration
    // reader, so the digest location keeps the default.
    conf += "DocumentRoot \"" + (d / "htdocs") + "\"\n<Directory \"" + (d / "htdocs") +
            "\">\n Require all granted\n</Directory>\n<Location /basic>\n AuthType Basic\n"
            " AuthName \"varnel basic\"\n AuthUserFile \"" +
            (d / "htpasswd") +
            "\"\n Require valid-user\n</Location>\n<Location /digest>\n AuthType Digest\n"
            " AuthName \"varnel digest\"\n AuthUserFile \"" +
            (d / "htdigest") + "\"\n Require valid-user\n</Location>\n";
    std::ofstream(d / "apache.conf") << conf;
    ASSERT_TRUE(
        site.Start("/usr/sbin/apache2 -f " + nettest::Quote(d / "apache.conf") + " -k start"))
        << nettest::ReadFile(d / "error.log");
    CheckBasic(port);

    // The client answers a Digest challenge in the RFC 2069 form (no qop). Recent Apache 2.4
    // releases (2.4.71 on Debian 12) refuse it, logging "RFC 2069 is no longer supported";
    // older ones accept it. Each answer is checked for what it must then be.
    EXPECT_EQ(Fetch(port, "/digest/" + kFile, "admin:wrong@").first, 401);
    const auto [code, body] = Fetch(port, "/digest/" + kFile, "admin:s3cret@");
    if (code != 200) {
        EXPECT_EQ(code, 401);
        EXPECT_NE(nettest::ReadFile(d / "error.log").find("RFC 2069 is no longer supported"),
                  std::string::npos);
    } else {
        EXPECT_EQ(body, kContent);
    }
}

TEST(Interop, Nginx) {
    if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "no nginx";
    const int port = nettest::ClosedPort();
    Site site("nginx", port);
    const TempDir& d = site.dir;
    std::string conf = "daemon off;\nuser www-data;\npid " + (d / "nginx.pid") + ";\nerror_log " +
                       (d / "error.log") + ";\nevents {}\nhttp {\n" +
                       " access_log off;\n keepalive_timeout 0;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += " " + std::string(t) + "_temp_path " + (d / t) + ";\n";
    conf += " server {\n  listen 127.0.0.1:" + std::to_string(port) + ";\n  root " +
            (d / "htdocs") + ";\n  location /basic/ {\n   auth_basic \"varnel nginx\";\n" +
            "   auth_basic_user_file " + (d / "htpasswd") + ";\n  }\n }\n}\n";
    std::ofstream(d / "nginx.conf") << conf;
    ASSERT_TRUE(site.Start("/usr/sbin/nginx -p " + nettest::Quote(d.path.string()) + " -c " +
                           nettest::Quote(d / "nginx.conf") + " > " + nettest::Quote(d / "out") +
                           " 2>&1 &"))
        << nettest::ReadFile(d / "error.log") << nettest::ReadFile(d / "out");
    CheckBasic(port);
}
