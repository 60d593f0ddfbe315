// The tokens of the NTLM and Negotiate proxy tunnels come from the
// component's one security context, the same that SMTP authentication uses,
// set up from the connection's settings (UseSystemSSPI, the code page) at
// every start of a negotiation.
#pragma once

#include "proxy/firewall_negotiation.h"
#include "auth/security_context.h"
#include "connection/connection_stage.h"

namespace pelnet::smtp {

class SecurityContextTokens final : public ProxyTokens {
 public:
  SecurityContextTokens(SecurityContext &context, const ConnectionFacts &port)
      : context_(context), port_(port) {}

  int initialise(std::string_view package, std::string_view user,
                 std::string_view password) override {
    context_.setUseSystemSecurity(port_.systemSecurity());
    context_.setCodePage(port_.textCodePage());
    return context_.initialise(package, user, password);
  }
  int firstToken(std::string_view target, std::string &base64Token) override {
    return context_.firstToken(target, base64Token);
  }
  int nextToken(std::string_view target, std::string_view base64Challenge,
                std::string &base64Token) override {
    return context_.nextToken(target, base64Challenge, base64Token);
  }
  const std::string &errorText() const override { return context_.errorText(); }

 private:
  SecurityContext &context_;
  const ConnectionFacts &port_;
};

}  // namespace pelnet::smtp
