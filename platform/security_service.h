// The system's security service for HTTP proxy authentication: SPNEGO
// (Kerberos first) and NTLM as the platform provides them, with the signed-in
// user's own credentials or with a user and password given. SSPI (secur32)
// on Windows; GSSAPI (MIT Kerberos, libgssapi_krb5.so.2 loaded at run time)
// elsewhere, which has Negotiate only.
#ifndef VEMNET_SECURITY_SERVICE_H
#define VEMNET_SECURITY_SERVICE_H

#include <memory>
#include <string>

namespace plat {

enum class SecurityPackage { Negotiate, Ntlm };

// Whose credentials: an empty user means the signed-in user's own (the
// Kerberos ticket cache, SSPI's default credentials).
struct SecurityIdentity {
    std::wstring user;
    std::wstring domain;   // Kerberos realm or Windows domain; may be empty
    std::wstring password;
};

// One client side of an authentication dialogue with a service.
class SecurityContext {
public:
    virtual ~SecurityContext() {}
    // Takes the server's token (empty for the first step) and gives the next
    // one to send in *out (empty when the service has nothing more to say).
    // False on failure, with the service's own message in *error.
    virtual bool Step(const std::string& in, std::string* out, std::wstring* error) = 0;
};

// A context for service (as "HTTP@proxy.host"); null, with the reason in
// *error, when the service, the package or the credentials are unavailable.
std::unique_ptr<SecurityContext> NewSecurityContext(SecurityPackage package, const std::wstring& service,
                                                    const SecurityIdentity& identity, std::wstring* error);

// Tests: the file the service is loaded from where it is loaded at run time;
// a name that does not load stands for a system without it; empty goes back
// to the usual one. Nothing changes where the service is part of the system.
void SetSecurityModule(const std::string& name);

}  // namespace plat

#endif
