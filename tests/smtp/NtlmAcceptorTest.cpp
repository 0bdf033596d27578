// Our NTLM client against an independent acceptor: the GSS-API NTLMSSP
// mechanism, checking the responses against a user file as a domain
// controller would. Loaded at run time, so only the runtime packages
// (gss-ntlmssp) are needed.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "smtp/NTLMClientAuth.h"
#include "smtp/Ntlm.h"

// The acceptor mechanism leaks its crypto state by design of its plugin
// loading; its frames end in its own library or in libcrypto, which this
// test program uses only through it and our already leak-checked code.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:gssntlmssp.so\nleak:libcrypto.so\n";
}

namespace {

// The few GSS-API declarations used (a stable C interface, RFC 2744).
using OM_uint32 = uint32_t;
struct gss_OID_desc {
  OM_uint32 length;
  void* elements;
};
struct gss_OID_set_desc {
  size_t count;
  gss_OID_desc* elements;
};
struct gss_buffer_desc {
  size_t length;
  void* value;
};
using gss_handle = void*;
constexpr OM_uint32 GSS_S_COMPLETE = 0;
constexpr OM_uint32 GSS_S_CONTINUE_NEEDED = 1;
constexpr int GSS_C_ACCEPT = 2;

using AcquireCred = OM_uint32 (*)(OM_uint32*, gss_handle, OM_uint32, gss_OID_set_desc*, int,
                                  gss_handle*, gss_OID_set_desc**, OM_uint32*);
using AcceptSecContext = OM_uint32 (*)(OM_uint32*, gss_handle*, gss_handle, gss_buffer_desc*,
                                       gss_handle, gss_handle*, gss_OID_desc**,
                                       gss_buffer_desc*, OM_uint32*, OM_uint32*, gss_handle*);
using ReleaseBuffer = OM_uint32 (*)(OM_uint32*, gss_buffer_desc*);
using DeleteSecContext = OM_uint32 (*)(OM_uint32*, gss_handle*, gss_buffer_desc*);
using ReleaseCred = OM_uint32 (*)(OM_uint32*, gss_handle*);
using DisplayName = OM_uint32 (*)(OM_uint32*, gss_handle, gss_buffer_desc*, gss_OID_desc**);
using ReleaseName = OM_uint32 (*)(OM_uint32*, gss_handle*);

// 1.3.6.1.4.1.311.2.2.10
unsigned char kNtlmsspOid[] = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};

class Gss {
 public:
  Gss() {
    lib_ = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!lib_) return;
    acquire = reinterpret_cast<AcquireCred>(dlsym(lib_, "gss_acquire_cred"));
    accept = reinterpret_cast<AcceptSecContext>(dlsym(lib_, "gss_accept_sec_context"));
    releaseBuffer = reinterpret_cast<ReleaseBuffer>(dlsym(lib_, "gss_release_buffer"));
    deleteContext = reinterpret_cast<DeleteSecContext>(dlsym(lib_, "gss_delete_sec_context"));
    releaseCred = reinterpret_cast<ReleaseCred>(dlsym(lib_, "gss_release_cred"));
    displayName = reinterpret_cast<DisplayName>(dlsym(lib_, "gss_display_name"));
    releaseName = reinterpret_cast<ReleaseName>(dlsym(lib_, "gss_release_name"));
  }
  // The library stays loaded: the mechanism keeps state in its globals
  // (its crypto providers) that unloading would turn into leaks.
  bool Loaded() const {
    return acquire && accept && releaseBuffer && deleteContext && releaseCred && displayName &&
           releaseName && std::filesystem::exists("/etc/gss/mech.d/mech.ntlmssp.conf");
  }

  AcquireCred acquire = nullptr;
  AcceptSecContext accept = nullptr;
  ReleaseBuffer releaseBuffer = nullptr;
  DeleteSecContext deleteContext = nullptr;
  ReleaseCred releaseCred = nullptr;
  DisplayName displayName = nullptr;
  ReleaseName releaseName = nullptr;

 private:
  void* lib_ = nullptr;
};

// The SMTP side of the exchange replaced by direct calls into the acceptor.
class AcceptorAuth : public CNTLMClientAuth {
 public:
  explicit AcceptorAuth(Gss& gss) : gss_(gss) {
    gss_OID_desc oid{sizeof kNtlmsspOid, kNtlmsspOid};
    gss_OID_set_desc mechs{1, &oid};
    OM_uint32 minor = 0;
    credStatus = gss_.acquire(&minor, nullptr, 0, &mechs, GSS_C_ACCEPT, &cred_, nullptr, nullptr);
  }
  ~AcceptorAuth() override {
    OM_uint32 minor = 0;
    if (context_) gss_.deleteContext(&minor, &context_, nullptr);
    if (cred_) gss_.releaseCred(&minor, &cred_);
    if (name_) gss_.releaseName(&minor, &name_);
  }

  int32_t SendFirstToken(const uint8_t* token, uint32_t length) override {
    return Accept(token, length) == GSS_S_CONTINUE_NEEDED ? 0 : -1;
  }
  int32_t ReceiveChallenge(uint8_t* buffer, uint32_t size, uint32_t& length) override {
    if (pending_.size() >= size) return km7::ntlm::SEC_E_INSUFFICIENT_MEMORY;
    std::copy(pending_.begin(), pending_.end(), buffer);
    length = static_cast<uint32_t>(pending_.size());
    return 0;
  }
  int32_t SendNextToken(const uint8_t* token, uint32_t length) override {
    finalStatus = Accept(token, length);
    return finalStatus == GSS_S_COMPLETE ? 0 : static_cast<int32_t>(0x8009030C);
  }

  std::string AuthenticatedName() {
    if (!name_) return {};
    gss_buffer_desc out{0, nullptr};
    OM_uint32 minor = 0;
    if (gss_.displayName(&minor, name_, &out, nullptr) != GSS_S_COMPLETE) return {};
    std::string text(static_cast<const char*>(out.value), out.length);
    gss_.releaseBuffer(&minor, &out);
    return text;
  }

  OM_uint32 credStatus = 0;
  OM_uint32 finalStatus = ~0u;

 private:
  OM_uint32 Accept(const uint8_t* token, uint32_t length) {
    gss_buffer_desc in{length, const_cast<uint8_t*>(token)};
    gss_buffer_desc out{0, nullptr};
    OM_uint32 minor = 0;
    if (name_) gss_.releaseName(&minor, &name_);
    const OM_uint32 major = gss_.accept(&minor, &context_, cred_, &in, nullptr, &name_, nullptr,
                                        &out, nullptr, nullptr, nullptr);
    pending_.assign(static_cast<uint8_t*>(out.value), static_cast<uint8_t*>(out.value) + out.length);
    gss_.releaseBuffer(&minor, &out);
    return major;
  }

  Gss& gss_;
  gss_handle cred_ = nullptr;
  gss_handle context_ = nullptr;
  gss_handle name_ = nullptr;
  std::vector<uint8_t> pending_;
};

class NtlmAcceptor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gss_.Loaded()) << "the GSS-API NTLMSSP mechanism is missing: install gss-ntlmssp "
                                  "(scripts/install-deps.sh)";
    char templ[] = "/tmp/km7-ntlm-XXXXXX";
    dir_ = mkdtemp(templ);
    const std::string users = dir_ + "/users";
    // DOMAIN:USER:PASSWORD, one account a line.
    std::ofstream(users) << "EXAMPLE:alarm:S3cret-pass\n"
                         << "EXAMPLE:J\xc3\xbcrgen:p\xc3\xa4ss\n"
                         << "EXAMPLE:jurgen:p\xc3\xa4ss\n"
                         << "EXAMPLE:J\xc3\x9cRGI:pass\n";
    setenv("NTLM_USER_FILE", users.c_str(), 1);
    // The acceptor reads the user file in the locale's character set.
    setlocale(LC_CTYPE, "C.UTF-8");
  }
  void TearDown() override {
    unsetenv("NTLM_USER_FILE");
    setlocale(LC_CTYPE, "C");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  Gss gss_;
  std::string dir_;
};

TEST_F(NtlmAcceptor, AcceptsTheRightPassword) {
  AcceptorAuth auth(gss_);
  ASSERT_EQ(auth.credStatus, GSS_S_COMPLETE);
  EXPECT_EQ(auth.Authenticate("EXAMPLE\\alarm", "S3cret-pass"), 0);
  EXPECT_EQ(auth.finalStatus, GSS_S_COMPLETE);
  EXPECT_NE(auth.AuthenticatedName().find("alarm"), std::string::npos) << auth.AuthenticatedName();
}

TEST_F(NtlmAcceptor, RefusesAWrongPassword) {
  AcceptorAuth auth(gss_);
  ASSERT_EQ(auth.credStatus, GSS_S_COMPLETE);
  EXPECT_LT(auth.Authenticate("EXAMPLE\\alarm", "S3cret-Pass"), 0);
  EXPECT_NE(auth.finalStatus, GSS_S_COMPLETE);
}

TEST_F(NtlmAcceptor, WindowsCharactersInNameAndPassword) {
  AcceptorAuth auth(gss_);
  ASSERT_EQ(auth.credStatus, GSS_S_COMPLETE);
  // u-diaeresis and a-diaeresis in Windows-1252: in the password alone, in
  // both, and in a user name the acceptor holds in upper case (the user
  // name is upper-cased inside the hash, so only the letters must agree).
  EXPECT_EQ(AcceptorAuth(gss_).Authenticate("EXAMPLE\\jurgen", "p\xe4ss"), 0);
  EXPECT_EQ(AcceptorAuth(gss_).Authenticate("EXAMPLE\\J\xfcrgi", "pass"), 0);
  EXPECT_EQ(auth.Authenticate("EXAMPLE\\J\xfcrgen", "p\xe4ss"), 0);
  EXPECT_EQ(auth.finalStatus, GSS_S_COMPLETE);
}

}  // namespace
