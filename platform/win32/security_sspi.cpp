// Negotiate and NTLM through SSPI (secur32.dll, loaded at run time through
// its function table): the signed-in user's default credentials when no user
// is given, the given user, domain and password otherwise.
#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>

#include <mutex>

#include "platform/platform.h"
#include "platform/security_service.h"

namespace plat {

namespace {

const wchar_t kDefaultModule[] = L"secur32.dll";

std::mutex g_lock;
std::wstring g_module = kDefaultModule;

const SecurityFunctionTableW* LoadSspi(std::wstring* error) {
    std::lock_guard<std::mutex> hold(g_lock);
    static std::wstring loadedName;
    static const SecurityFunctionTableW* loaded = nullptr;
    if (loaded && loadedName == g_module) return loaded;
    HMODULE m = LoadLibraryW(g_module.c_str());
    auto init = m ? reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
                        reinterpret_cast<void*>(GetProcAddress(m, "InitSecurityInterfaceW")))
                  : nullptr;
    const SecurityFunctionTableW* table = init ? init() : nullptr;
    if (!table) {
        *error = L"SSPI not available (" + g_module + L" does not load)";
        return nullptr;
    }
    loaded = table;
    loadedName = g_module;
    return loaded;
}

// "SSPI InitializeSecurityContext: <system text> (0x8009030e)".
std::wstring Describe(const wchar_t* call, SECURITY_STATUS status) {
    wchar_t* text = nullptr;
    std::wstring message;
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, DWORD(status), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr) && text) {
        message = text;
        LocalFree(text);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
            message.pop_back();
    }
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lx", static_cast<unsigned long>(status));
    return std::wstring(L"SSPI ") + call + L": " + (message.empty() ? L"" : message + L" ") + L"(" + code + L")";
}

class SspiContext : public SecurityContext {
public:
    SspiContext(const SecurityFunctionTableW* t, CredHandle cred, std::wstring target, unsigned long maxToken)
        : t_(t), cred_(cred), target_(std::move(target)), maxToken_(maxToken) {}
    ~SspiContext() override {
        if (started_) t_->DeleteSecurityContext(&context_);
        t_->FreeCredentialsHandle(&cred_);
    }

    bool Step(const std::string& in, std::string* out, std::wstring* error) override {
        out->clear();
        SecBuffer inBuffer = {ULONG(in.size()), SECBUFFER_TOKEN, const_cast<char*>(in.data())};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 1, &inBuffer};
        // Our own buffer of the package's largest token: ISC_REQ_ALLOCATE_MEMORY
        // is not honoured everywhere (wine's Kerberos).
        std::string token(maxToken_, '\0');
        SecBuffer outBuffer = {ULONG(token.size()), SECBUFFER_TOKEN, &token[0]};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuffer};
        ULONG attributes = 0;
        TimeStamp expiry;
        SECURITY_STATUS s = t_->InitializeSecurityContextW(
            &cred_, started_ ? &context_ : nullptr, const_cast<wchar_t*>(target_.c_str()),
            ISC_REQ_MUTUAL_AUTH, 0, SECURITY_NATIVE_DREP, in.empty() ? nullptr : &inDesc, 0,
            &context_, &outDesc, &attributes, &expiry);
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_COMPLETE_NEEDED ||
            s == SEC_I_COMPLETE_AND_CONTINUE)
            started_ = true;
        if (s == SEC_I_COMPLETE_NEEDED || s == SEC_I_COMPLETE_AND_CONTINUE) {
            const SECURITY_STATUS c = t_->CompleteAuthToken(&context_, &outDesc);
            if (c != SEC_E_OK) s = c;
        }
        if (outBuffer.cbBuffer <= token.size()) out->assign(token.data(), outBuffer.cbBuffer);
        if (s != SEC_E_OK && s != SEC_I_CONTINUE_NEEDED && s != SEC_I_COMPLETE_NEEDED &&
            s != SEC_I_COMPLETE_AND_CONTINUE) {
            *error = Describe(L"InitializeSecurityContext", s);
            return false;
        }
        return true;
    }

private:
    const SecurityFunctionTableW* t_;
    CredHandle cred_;
    CtxtHandle context_{};
    bool started_ = false;
    std::wstring target_;
    unsigned long maxToken_;
};

}  // namespace

std::unique_ptr<SecurityContext> NewSecurityContext(SecurityPackage package, const std::wstring& service,
                                                    const SecurityIdentity& identity, std::wstring* error) {
    const SecurityFunctionTableW* t = LoadSspi(error);
    if (!t) return nullptr;
    std::wstring user = identity.user, domain = identity.domain, password = identity.password;
    SEC_WINNT_AUTH_IDENTITY_W explicitIdentity = {};
    if (!user.empty()) {
        explicitIdentity.User = reinterpret_cast<unsigned short*>(&user[0]);
        explicitIdentity.UserLength = ULONG(user.size());
        explicitIdentity.Domain = domain.empty() ? nullptr : reinterpret_cast<unsigned short*>(&domain[0]);
        explicitIdentity.DomainLength = ULONG(domain.size());
        explicitIdentity.Password = password.empty() ? nullptr : reinterpret_cast<unsigned short*>(&password[0]);
        explicitIdentity.PasswordLength = ULONG(password.size());
        explicitIdentity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    }
    wchar_t negotiate[] = L"Negotiate";
    wchar_t ntlm[] = L"NTLM";
    wchar_t* name = package == SecurityPackage::Negotiate ? negotiate : ntlm;
    PSecPkgInfoW info = nullptr;
    SECURITY_STATUS s = t->QuerySecurityPackageInfoW(name, &info);
    if (s != SEC_E_OK || !info) {
        *error = Describe(L"QuerySecurityPackageInfo", s);
        return nullptr;
    }
    const unsigned long maxToken = info->cbMaxToken;
    t->FreeContextBuffer(info);
    CredHandle cred;
    TimeStamp expiry;
    s = t->AcquireCredentialsHandleW(nullptr, name, SECPKG_CRED_OUTBOUND, nullptr,
                                     user.empty() ? nullptr : &explicitIdentity, nullptr, nullptr, &cred, &expiry);
    if (s != SEC_E_OK) {
        *error = Describe(L"AcquireCredentialsHandle", s);
        return nullptr;
    }
    // SSPI names a service "HTTP/host" where GSSAPI writes "HTTP@host".
    std::wstring target = service;
    const size_t at = target.find(L'@');
    if (at != std::wstring::npos) target[at] = L'/';
    return std::unique_ptr<SecurityContext>(new SspiContext(t, cred, target, maxToken));
}

void SetSecurityModule(const std::string& name) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_module = name.empty() ? std::wstring(kDefaultModule) : FromAnsi(name);
}

}  // namespace plat
