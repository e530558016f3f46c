// SPNEGO through GSSAPI (MIT Kerberos), loaded at run time so that a system
// without libgssapi_krb5 still runs everything else. The few entry points and
// types used are declared here as RFC 2744 gives them; no header is needed to
// build. NTLM is not offered: MIT's GSSAPI has no NTLM mechanism.
#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/security_service.h"

namespace plat {

namespace {

// ---- RFC 2744 ----------------------------------------------------------------
using OM_uint32 = uint32_t;
struct gss_OID_desc {
    OM_uint32 length;
    void* elements;
};
struct gss_buffer_desc {
    size_t length;
    void* value;
};
struct gss_OID_set_desc {
    size_t count;
    gss_OID_desc* elements;
};
using gss_name_t = void*;
using gss_ctx_id_t = void*;
using gss_cred_id_t = void*;

const OM_uint32 kGssComplete = 0;
const OM_uint32 kGssContinueNeeded = 1;
const OM_uint32 kGssErrorMask = 0xffff0000u;   // calling and routine errors
const int kGssCodeMajor = 1;                   // GSS_C_GSS_CODE
const int kGssCodeMinor = 2;                   // GSS_C_MECH_CODE
const OM_uint32 kGssMutualFlag = 2;            // GSS_C_MUTUAL_FLAG
const int kGssInitiate = 1;                    // GSS_C_INITIATE
const OM_uint32 kGssIndefinite = 0xffffffffu;  // GSS_C_INDEFINITE

// 1.2.840.113554.1.2.1.4 (GSS_C_NT_HOSTBASED_SERVICE), 1.2.840.113554.1.2.1.1
// (GSS_C_NT_USER_NAME), 1.3.6.1.5.5.2 (SPNEGO).
unsigned char kOidHostService[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x01, 0x04};
unsigned char kOidUserName[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x01, 0x01};
unsigned char kOidSpnego[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
gss_OID_desc kHostService = {sizeof kOidHostService, kOidHostService};
gss_OID_desc kUserName = {sizeof kOidUserName, kOidUserName};
gss_OID_desc kSpnego = {sizeof kOidSpnego, kOidSpnego};

const char kDefaultModule[] = "libgssapi_krb5.so.2";

struct Gss {
    OM_uint32 (*importName)(OM_uint32*, gss_buffer_desc*, gss_OID_desc*, gss_name_t*);
    OM_uint32 (*releaseName)(OM_uint32*, gss_name_t*);
    OM_uint32 (*initSecContext)(OM_uint32*, gss_cred_id_t, gss_ctx_id_t*, gss_name_t, gss_OID_desc*, OM_uint32,
                                OM_uint32, void*, gss_buffer_desc*, gss_OID_desc**, gss_buffer_desc*,
                                OM_uint32*, OM_uint32*);
    OM_uint32 (*deleteSecContext)(OM_uint32*, gss_ctx_id_t*, gss_buffer_desc*);
    OM_uint32 (*releaseBuffer)(OM_uint32*, gss_buffer_desc*);
    OM_uint32 (*displayStatus)(OM_uint32*, OM_uint32, int, gss_OID_desc*, OM_uint32*, gss_buffer_desc*);
    OM_uint32 (*acquireCredWithPassword)(OM_uint32*, gss_name_t, gss_buffer_desc*, OM_uint32, gss_OID_set_desc*,
                                         int, gss_cred_id_t*, gss_OID_set_desc**, OM_uint32*);
    OM_uint32 (*releaseCred)(OM_uint32*, gss_cred_id_t*);
};

std::mutex g_lock;
std::string g_module = kDefaultModule;

// The module's entry points; null when it does not load or lacks one. A
// module once loaded stays loaded: contexts may still use it.
const Gss* LoadGss(std::wstring* error) {
    std::lock_guard<std::mutex> hold(g_lock);
    static std::string loadedName;
    static Gss* loaded = nullptr;
    if (loaded && loadedName == g_module) return loaded;
    void* m = ::dlopen(g_module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m) {
        *error = L"GSSAPI not available (" + FromAnsi(g_module) + L" does not load)";
        return nullptr;
    }
    Gss* g = new Gss;
    bool all = true;
    auto bind = [&](auto& fn, const char* name) {
        void* p = ::dlsym(m, name);
        if (!p) all = false;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(p);
    };
    bind(g->importName, "gss_import_name");
    bind(g->releaseName, "gss_release_name");
    bind(g->initSecContext, "gss_init_sec_context");
    bind(g->deleteSecContext, "gss_delete_sec_context");
    bind(g->releaseBuffer, "gss_release_buffer");
    bind(g->displayStatus, "gss_display_status");
    bind(g->acquireCredWithPassword, "gss_acquire_cred_with_password");
    bind(g->releaseCred, "gss_release_cred");
    if (!all) {
        delete g;
        *error = L"GSSAPI module " + FromAnsi(g_module) + L" lacks an entry point";
        return nullptr;
    }
    loaded = g;
    loadedName = g_module;
    return loaded;
}

// "GSSAPI gss_init_sec_context: <major text>: <minor text>".
std::wstring Describe(const Gss* g, const char* call, OM_uint32 major, OM_uint32 minor) {
    std::string text = std::string("GSSAPI ") + call;
    const struct {
        OM_uint32 code;
        int type;
    } parts[] = {{major, kGssCodeMajor}, {minor, kGssCodeMinor}};
    for (const auto& part : parts) {
        if (part.type == kGssCodeMinor && part.code == 0) continue;
        OM_uint32 more = 0;
        do {
            OM_uint32 ignored = 0;
            gss_buffer_desc message = {0, nullptr};
            if (g->displayStatus(&ignored, part.code, part.type, nullptr, &more, &message) & kGssErrorMask) break;
            text += ": " + std::string(static_cast<const char*>(message.value), message.length);
            g->releaseBuffer(&ignored, &message);
        } while (more != 0);
    }
    return FromAnsi(text);
}

class GssContext : public SecurityContext {
public:
    GssContext(const Gss* g, gss_name_t target, gss_cred_id_t cred) : g_(g), target_(target), cred_(cred) {}
    ~GssContext() override {
        OM_uint32 minor = 0;
        if (context_) g_->deleteSecContext(&minor, &context_, nullptr);
        if (cred_) g_->releaseCred(&minor, &cred_);
        g_->releaseName(&minor, &target_);
    }

    bool Step(const std::string& in, std::string* out, std::wstring* error) override {
        out->clear();
        gss_buffer_desc input = {in.size(), const_cast<char*>(in.data())};
        gss_buffer_desc output = {0, nullptr};
        OM_uint32 minor = 0;
        const OM_uint32 major = g_->initSecContext(&minor, cred_, &context_, target_, &kSpnego, kGssMutualFlag, 0,
                                                   nullptr, in.empty() ? nullptr : &input, nullptr, &output,
                                                   nullptr, nullptr);
        if (output.value) {
            out->assign(static_cast<const char*>(output.value), output.length);
            OM_uint32 ignored = 0;
            g_->releaseBuffer(&ignored, &output);
        }
        if (major != kGssComplete && major != kGssContinueNeeded) {
            *error = Describe(g_, "gss_init_sec_context", major, minor);
            return false;
        }
        return true;
    }

private:
    const Gss* g_;
    gss_name_t target_;
    gss_cred_id_t cred_;
    gss_ctx_id_t context_ = nullptr;
};

bool ImportName(const Gss* g, const std::string& text, gss_OID_desc* type, gss_name_t* name, std::wstring* error) {
    gss_buffer_desc buffer = {text.size(), const_cast<char*>(text.data())};
    OM_uint32 minor = 0;
    const OM_uint32 major = g->importName(&minor, &buffer, type, name);
    if (major & kGssErrorMask) {
        *error = Describe(g, "gss_import_name", major, minor);
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<SecurityContext> NewSecurityContext(SecurityPackage package, const std::wstring& service,
                                                    const SecurityIdentity& identity, std::wstring* error) {
    if (package != SecurityPackage::Negotiate) {
        *error = L"NTLM for the signed-in user needs the system's NTLM service, which this system lacks";
        return nullptr;
    }
    const Gss* g = LoadGss(error);
    if (!g) return nullptr;

    gss_cred_id_t cred = nullptr;   // GSS_C_NO_CREDENTIAL: the ticket cache
    if (!identity.user.empty()) {
        std::wstring principal = identity.user;
        if (!identity.domain.empty() && principal.find(L'@') == std::wstring::npos) principal += L"@" + identity.domain;
        gss_name_t user = nullptr;
        if (!ImportName(g, ToAnsi(principal), &kUserName, &user, error)) return nullptr;
        const std::string password = ToAnsi(identity.password);
        gss_buffer_desc secret = {password.size(), const_cast<char*>(password.data())};
        OM_uint32 minor = 0;
        const OM_uint32 major = g->acquireCredWithPassword(&minor, user, &secret, kGssIndefinite, nullptr,
                                                           kGssInitiate, &cred, nullptr, nullptr);
        g->releaseName(&minor, &user);
        if (major & kGssErrorMask) {
            *error = Describe(g, "gss_acquire_cred_with_password", major, minor);
            return nullptr;
        }
    }
    gss_name_t target = nullptr;
    if (!ImportName(g, ToAnsi(service), &kHostService, &target, error)) {
        OM_uint32 minor = 0;
        if (cred) g->releaseCred(&minor, &cred);
        return nullptr;
    }
    return std::unique_ptr<SecurityContext>(new GssContext(g, target, cred));
}

void SetSecurityModule(const std::string& name) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_module = name.empty() ? kDefaultModule : name;
}

}  // namespace plat
