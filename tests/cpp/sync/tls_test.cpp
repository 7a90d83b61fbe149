#include "tarnwick/sync/tls.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "support/loopback.h"
#include "tarnwick/sync/client.h"
#include "tarnwick/sync/transport.h"

namespace tarnwick::sync {
namespace {

using base::Duration;

// Test PKI made with the openssl command in a temporary directory: a CA, a server leaf for
// localhost and 127.0.0.1, a leaf whose only DNS-looking name is its CN, a client certificate, a
// second unrelated CA and key, and a pass-phrase protected key.
class Pki {
 public:
  static Pki& get() {
    static Pki pki;
    return pki;
  }
  bool ok() const { return ok_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  Pki() {
    char tmpl[] = "/tmp/tarnwick-tls.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    std::ofstream(path("make.sh")) << R"(set -e; cd "$1"
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
ca="-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"
leaf="basicConstraints=CA:FALSE\nextendedKeyUsage"
printf "$leaf=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n" >server.ext
printf "$leaf=serverAuth\nsubjectAltName=IP:127.0.0.1\n" >cn_only.ext
printf "$leaf=clientAuth\n" >client.ext
openssl req -x509 $ec -keyout ca.key -out ca.pem -days 2 -subj /CN=tarnwick-test-ca $ca
openssl req -x509 $ec -keyout other_ca.key -out other_ca.pem -days 2 -subj /CN=other-ca $ca
leaf() {
  openssl req $ec -keyout $1.key -out $1.csr -subj /CN=$2
  openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out $1.pem \
    -extfile $1.ext
}
leaf server localhost; leaf cn_only localhost; leaf client client
openssl pkey -in client.key -aes256 -passout pass:secret -out client_enc.key
)";
    const std::string cmd = "sh " + path("make.sh") + " " + dir_ + " >" + path("log") + " 2>&1";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  std::string dir_;
  bool ok_ = false;
};

struct ServerOptions {
  std::string cert = "server";
  bool tls12_only = false;
  bool require_client_cert = false;
  int connections = 1;  // served one after the other with the same server context
};

// A one-connection TLS echo server: handshakes, reads 4 bytes and sends them back.
class TlsServer {
 public:
  explicit TlsServer(const ServerOptions& opt) {
    Pki& pki = Pki::get();
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, pki.path(opt.cert + ".pem").c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, pki.path(opt.cert + ".key").c_str(), SSL_FILETYPE_PEM);
    if (opt.tls12_only) SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    if (opt.require_client_cert) {
      SSL_CTX_load_verify_locations(ctx_, pki.path("ca.pem").c_str(), nullptr);
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    thread_ = std::thread([this, n = opt.connections] {
      for (int i = 0; i < n; ++i) serve_one();
    });
  }
  void serve_one() {
    {
      Socket s = listener_.accept();
      if (!s.valid()) return;
      (void)s.set_read_timeout(Duration::from_secs(5));
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, s.fd());
      if (SSL_accept(ssl) == 1) {
        client_cert_seen_ = SSL_get0_peer_certificate(ssl) != nullptr;
        char buf[4];
        int n = SSL_read(ssl, buf, 4);
        if (n > 0) SSL_write(ssl, buf, n);
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
    }
  }
  ~TlsServer() {
    thread_.join();
    SSL_CTX_free(ctx_);
  }
  uint16_t port() const { return listener_.port(); }
  bool client_cert_seen() const { return client_cert_seen_; }

 private:
  testing::Listener listener_;
  SSL_CTX* ctx_ = nullptr;
  std::thread thread_;
  bool client_cert_seen_ = false;
};

struct Exchange {
  base::Status status;
  std::string version;
  bool resumed = false;
};

// Connects, sends "ping" (the handshake runs inside this first write) and reads the echo.
Exchange ping(uint16_t port, std::shared_ptr<const TlsConfig> config, const std::string& domain) {
  auto sock = connect_with_timeout(SocketAddr::v4_loopback(port), Duration::from_secs(5));
  if (!sock.ok()) return {std::move(sock).error(), {}};
  (void)sock->set_read_timeout(Duration::from_secs(5));
  (void)sock->set_write_timeout(Duration::from_secs(5));
  auto t = Transport::new_tls(std::move(sock).value(), std::move(config), domain);
  if (!t.ok()) return {std::move(t).error(), {}};
  const uint8_t out[4] = {'p', 'i', 'n', 'g'};
  base::Status st = (*t)->write_all(out);
  if (st.ok()) {
    uint8_t in[4];
    st = (*t)->read_exact(in, 4);
    if (st.ok() && std::string(in, in + 4) != "ping") st = base::Error::protocol("bad echo");
  }
  return {std::move(st), (*t)->tls_version(), (*t)->tls_session_reused()};
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Pki::get().ok()) GTEST_SKIP() << "the openssl command could not make the test PKI";
  }
  std::string path(const std::string& name) { return Pki::get().path(name); }
  std::shared_ptr<const TlsConfig> config(const std::string& ca, const char* cert = nullptr,
                                          const char* key = nullptr) {
    auto c = TlsConfig::build(path(ca), cert ? std::optional(path(cert)) : std::nullopt,
                              key ? std::optional(path(key)) : std::nullopt);
    EXPECT_TRUE(c.ok()) << c.error().to_string();
    return c.ok() ? *c : nullptr;
  }
};

TEST_F(Tls, HandshakeAndVerification) {
  struct Case {
    const char* name;
    ServerOptions server;
    const char* ca;
    const char* domain;
    const char* version;     // expected on success
    const char* error_part;  // expected in the error text on failure
    const char* cert = nullptr;
    const char* key = nullptr;
  };
  const ServerOptions mtls{"server", false, true};
  const Case cases[] = {
      {"tls13", {}, "ca.pem", "localhost", "TLSv1.3", nullptr},
      {"tls12 server", {"server", true, false}, "ca.pem", "localhost", "TLSv1.2", nullptr},
      {"ip in san", {}, "ca.pem", "127.0.0.1", "TLSv1.3", nullptr},
      {"trailing dot", {}, "ca.pem", "localhost.", "TLSv1.3", nullptr},
      {"wrong ca", {}, "other_ca.pem", "localhost", nullptr, "certificate"},
      {"wrong host", {}, "ca.pem", "example.com", nullptr, "hostname mismatch"},
      {"wrong ip", {}, "ca.pem", "127.0.0.2", nullptr, "IP address mismatch"},
      {"no cn fallback", {"cn_only"}, "ca.pem", "localhost", nullptr, "hostname mismatch"},
      {"client cert", mtls, "ca.pem", "localhost", "TLSv1.3", nullptr, "client.pem", "client.key"},
      // Without a client certificate the server refuses the client (seen on the first read over
      // TLS 1.3).
      {"no client cert", mtls, "ca.pem", "localhost", nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto cfg = config(c.ca, c.cert, c.key);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->has_client_auth(), c.key != nullptr);
    TlsServer server(c.server);
    Exchange ex = ping(server.port(), cfg, c.domain);
    if (c.version) {
      ASSERT_TRUE(ex.status.ok()) << ex.status.error().to_string();
      EXPECT_EQ(ex.version, c.version);
      EXPECT_EQ(server.client_cert_seen(), c.key != nullptr);
    } else {
      ASSERT_FALSE(ex.status.ok());
      EXPECT_EQ(ex.status.error().kind(), base::ErrorKind::Io);
      EXPECT_NE(ex.status.error().to_string().find(c.error_part), std::string::npos)
          << ex.status.error().to_string();
    }
  }
}

TEST_F(Tls, SessionsAreCachedAndResumed) {
  auto cfg = config("ca.pem");
  ASSERT_TRUE(cfg);
  TlsServer server({"server", true, false, 2});
  ASSERT_TRUE(ping(server.port(), cfg, "localhost").status.ok());
  EXPECT_EQ(cfg->cached_sessions(), 1u);
  Exchange again = ping(server.port(), cfg, "localhost");
  ASSERT_TRUE(again.status.ok());
  EXPECT_TRUE(again.resumed);
}

TEST_F(Tls, BuildErrors) {
  const std::string missing = path("missing.pem");
  std::ofstream(path("not_a_cert.pem"))
      << "-----BEGIN CERTIFICATE-----\naGVsbG8gd29ybGQ=\n-----END CERTIFICATE-----\n";
  auto opt = [&](const char* name) {
    return name ? std::optional(path(name)) : std::optional<std::string>();
  };
  const struct {
    const char *ca, *cert, *key;
    base::ErrorKind kind;
    std::string prefix;
  } cases[] = {
      {"missing.pem", nullptr, nullptr, base::ErrorKind::Io,
       "I/O error: cannot read CA file " + missing + ": No such file or directory (os error 2)"},
      {"not_a_cert.pem", nullptr, nullptr, base::ErrorKind::Config,
       "configuration error: invalid CA certificate: "},
      {"ca.pem", "missing.pem", "client.key", base::ErrorKind::Io,
       "I/O error: cannot read cert file " + missing + ": "},
      {"ca.pem", "client.pem", "missing.pem", base::ErrorKind::Io,
       "I/O error: cannot read key file " + missing + ": "},
      {"ca.pem", "not_a_cert.pem", "client.key", base::ErrorKind::Config,
       "configuration error: invalid client cert: "},
      {"ca.pem", "client.pem", "client_enc.key", base::ErrorKind::Config,
       "configuration error: invalid client key: "},
      {"ca.pem", "client.pem", "server.key", base::ErrorKind::Config,
       "configuration error: mTLS config error: "},
      {"ca.pem", "client.pem", nullptr, base::ErrorKind::Config,
       "configuration error: mTLS config error: tls_client_cert is given without tls_client_key"},
      {"ca.pem", nullptr, "client.key", base::ErrorKind::Config,
       "configuration error: mTLS config error: tls_client_key is given without tls_client_cert"},
      {"server.ext", nullptr, nullptr, base::ErrorKind::Config,
       "configuration error: invalid CA certificate: no certificate in " + path("server.ext")},
  };
  for (const auto& c : cases) {
    auto r = TlsConfig::build(opt(c.ca), opt(c.cert), opt(c.key));
    ASSERT_FALSE(r.ok()) << c.prefix;
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(r.error().to_string().rfind(c.prefix, 0), 0u) << r.error().to_string();
  }
}

// Without a CA file the trust store is the system's, wherever the TLS library finds it; one that
// holds nothing is refused instead of refusing every server later.
TEST_F(Tls, SystemTrustStore) {
  auto system = TlsConfig::build(std::nullopt, std::nullopt, std::nullopt);
  EXPECT_TRUE(system.ok()) << system.error().to_string();
  const std::string nothing = path("no-such-bundle.pem");
  setenv("SSL_CERT_FILE", nothing.c_str(), 1);
  setenv("SSL_CERT_DIR", path("").c_str(), 1);  // the test PKI's directory: no hashed names
  auto empty = TlsConfig::build(std::nullopt, std::nullopt, std::nullopt);
  unsetenv("SSL_CERT_FILE");
  unsetenv("SSL_CERT_DIR");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().to_string().rfind("configuration error: no CA certificates: the system "
                                            "trust store (file " +
                                                nothing,
                                            0),
            0u)
      << empty.error().to_string();
}

TEST_F(Tls, SetupRunsTheTlsHandshakeUnderTheBudget) {
  auto cfg = config("ca.pem");
  ASSERT_TRUE(cfg);
  auto echo = [](Transport& t, const ClientConfig&) -> base::Result<ServerInfo> {
    if (!t.is_tls()) return base::Error::protocol("not wrapped in TLS");
    const uint8_t out[4] = {'p', 'i', 'n', 'g'};
    TW_TRY(t.write_all(out));
    uint8_t in[4];
    TW_TRY(t.read_exact(in, 4));
    return ServerInfo{};
  };
  // The handshakes that must finish get a budget that only a hang runs out on a busy machine;
  // the silent peer gets a short one, which must fire.
  ClientConfig base_config;
  base_config.host = "127.0.0.1";
  base_config.connect_timeout = Duration::from_secs(120);
  {
    TlsServer server({});
    base_config.port = server.port();
    auto r =
        SyncClient::connect_with_config(ClientConfig(base_config).with_tls(cfg, "localhost"), echo);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_EQ(r->transport().tls_version(), "TLSv1.3");
    // A stream needs the plain socket: refused before anything is sent, the client stays usable.
    auto stream = r->start_stream("SELECT 1");
    ASSERT_FALSE(stream.ok());
    EXPECT_EQ(stream.error().to_string(),
              "I/O error: streaming query clone is unsupported for TLS transports");
    EXPECT_FALSE(r->broken());
  }
  // A peer that accepts TCP but never answers the TLS handshake: the set-up times out.
  testing::Listener silent;
  ClientConfig short_budget = base_config;
  short_budget.port = silent.port();
  short_budget.connect_timeout = Duration::from_millis(300);
  auto r =
      SyncClient::connect_with_config(ClientConfig(short_budget).with_tls(cfg, "localhost"), echo);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "timeout: connection setup to 127.0.0.1:" + std::to_string(silent.port()) +
                " did not complete within 300ms");
  // A certificate refused during set-up is an I/O error.
  TlsServer server({});
  base_config.port = server.port();
  auto wrong = SyncClient::connect_with_config(
      ClientConfig(base_config).with_tls(config("other_ca.pem"), "localhost"), echo);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().kind(), base::ErrorKind::Io) << wrong.error().to_string();
}

TEST(TlsServerName, Classification) {
  const std::pair<const char*, TlsServerNameKind> cases[] = {
      {"localhost", TlsServerNameKind::Dns},  {"clickhouse.example.com", TlsServerNameKind::Dns},
      {"localhost.", TlsServerNameKind::Dns}, {"1.2.3.4.", TlsServerNameKind::Dns},
      {"127.0.0.1", TlsServerNameKind::Ip},   {"::1", TlsServerNameKind::Ip},
      {"", TlsServerNameKind::Invalid},       {"[::1]", TlsServerNameKind::Invalid},
      {"-a.com", TlsServerNameKind::Invalid}, {"a..com", TlsServerNameKind::Invalid},
      {"1.2.3", TlsServerNameKind::Invalid},  {"h\xC3\xA9.com", TlsServerNameKind::Invalid},
  };
  for (auto& [name, kind] : cases) EXPECT_EQ(classify_tls_server_name(name), kind) << name;
  EXPECT_EQ(classify_tls_server_name(std::string("1.2.3.4\0x", 9)), TlsServerNameKind::Invalid);
  std::string label63(63, 'a'), label64(64, 'a');
  EXPECT_EQ(classify_tls_server_name(label63 + ".com"), TlsServerNameKind::Dns);
  EXPECT_EQ(classify_tls_server_name(label64 + ".com"), TlsServerNameKind::Invalid);
}

}  // namespace
}  // namespace tarnwick::sync
