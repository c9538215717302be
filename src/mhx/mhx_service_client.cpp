#include "mhx/mhx_service_client.h"

#include <algorithm>
#include <utility>

#include "binding/format/positional_format.h"
#include "binding/value/base64.h"
#include "codec/json.h"

namespace Oxle::Client::Mhx {

using Binding::FormatToString;
using Client::Api::ApiResponse;

std::string GameUrl(std::string_view base, std::string_view platformId, uint64_t gameId) {
  return FormatToString("%1/%2/stats/game/%3/%4", base, kServiceApiVersion, platformId, gameId);
}

std::string GameTimelineUrl(std::string_view base, std::string_view platformId, uint64_t gameId) {
  return FormatToString("%1/%2/stats/game/%3/%4/timeline", base, kServiceApiVersion, platformId,
                        gameId);
}

std::string OwnMatchListUrl(std::string_view base) {
  return FormatToString("%1/%2/stats/player_history/auth?begIndex=0&endIndex=%3", base,
                        kServiceApiVersion, kMatchListLength);
}

std::string PlayerLookupUrl(std::string_view base, std::string_view platformId,
                            uint64_t accountId) {
  return FormatToString("%1/%2/players/current?region=%3&account=%4", base, kServiceApiVersion,
                        platformId, accountId);
}

std::string PlayerMatchListUrl(std::string_view base, std::string_view platformId,
                               std::string_view accountId) {
  return FormatToString("%1/%2/stats/player_history/%3/%4?begIndex=0&endIndex=%5", base,
                        kServiceApiVersion, platformId, accountId, kMatchListLength);
}

std::string DeltasUrl(std::string_view base) {
  return FormatToString("%1/%2/deltas/auth", base, kServiceApiVersion);
}

std::string RecentChampionsUrl(std::string_view base, std::string_view platformId,
                               uint64_t accountId) {
  return FormatToString("%1/%2/recent_champions/%3/%4", base, kServiceApiVersion, platformId,
                        accountId);
}

void RebuildAuthorizationHeaders(HeaderMap& headers, bool useIdTokens,
                                 const Api::LoginSession& session, std::string_view platformId) {
  const std::string authorizationName(kAuthorizationHeader);
  headers.erase(authorizationName);
  if (useIdTokens) {
    headers.emplace(authorizationName, FormatToString("JwtBearer %s", session.idToken));
  } else {
    const std::string text = Codec::WriteJson(session.vekToken, nullptr, "\r\n");
    const std::string encoded = Binding::Base64Encode(
        std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    headers.emplace(authorizationName, FormatToString("VekTokenRaw %s", encoded));
  }
  const std::string regionName(kRegionHeader);
  headers.erase(regionName);
  headers.emplace(regionName, std::string(platformId));
}

Plugin::ExternalRequest MakeServiceRequest(std::string url, const HeaderMap& headers) {
  Plugin::ExternalRequest request;
  request.method = Client::Api::HttpMethod::Get;
  request.url = std::move(url);
  request.headers = headers;
  request.timeout = kServiceTimeout;
  request.flags = kServiceRequestFlags;
  return request;
}

namespace {

void AddSecret(std::vector<std::string>& secrets, std::string_view text) {
  if (text.size() >= kMinimumSecretLength) secrets.emplace_back(text);
}

}  // namespace

std::vector<std::string> CollectSecrets(const Api::LoginSession& session,
                                        const HeaderMap& headers) {
  std::vector<std::string> secrets;
  AddSecret(secrets, session.idToken);
  // The vek token's credential is its "token" member; its other members (a region, say) are
  // ordinary words that messages and URLs also hold.
  const Binding::BindingProperty& vekToken = session.vekToken;
  if (vekToken.Kind() == Binding::ValueKind::String) {
    AddSecret(secrets, vekToken.GetString());
  } else if (vekToken.Kind() == Binding::ValueKind::Structure) {
    const Binding::BindingProperty& token = vekToken.Get("token");
    if (token.Kind() == Binding::ValueKind::String) AddSecret(secrets, token.GetString());
  }
  const auto authorization = headers.find(std::string(kAuthorizationHeader));
  if (authorization != headers.end()) {
    const std::string_view value = authorization->second;
    const size_t space = value.find(' ');
    AddSecret(secrets, space == std::string_view::npos ? value : value.substr(space + 1));
  }
  return secrets;
}

std::string RedactSecrets(std::string text, std::span<const std::string> secrets) {
  static constexpr std::string_view kMask = "***";
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + kMask.size())) {
      text.replace(at, secret.size(), kMask);
    }
  }
  return text;
}

std::string MaskUrlPassword(std::string_view url) {
  const size_t scheme = url.find("://");
  const size_t authorityStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t authorityEnd = std::min(url.find_first_of("/?#", authorityStart), url.size());
  const std::string_view authority = url.substr(authorityStart, authorityEnd - authorityStart);
  // User info ends at the authority's last '@'; its password starts after its first ':'.
  const size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  const size_t colon = authority.substr(0, at).find(':');
  if (colon == std::string_view::npos) return std::string(url);
  std::string masked(url.substr(0, authorityStart + colon + 1));
  masked.append("***");
  masked.append(url.substr(authorityStart + at));
  return masked;
}

ApiResponse MapServiceAnswer(Plugin::ExternalResponse answer,
                             std::span<const std::string> secrets) {
  if (answer.connectionError != 0) {
    return ApiResponse::Error(FormatToString("Could not connect to the server: %1",
                                             RedactSecrets(std::move(answer.error), secrets)),
                              500);
  }
  if (answer.status == 404) return ApiResponse::Error("Not found", 404);
  if (answer.status < 200 || answer.status >= 300) {
    return ApiResponse::Error(
        FormatToString("Received an error status from the server: %1 - %2", answer.status,
                       RedactSecrets(std::move(answer.error), secrets)),
        500);
  }
  if (answer.bodyMark != Plugin::kBodyConverted) {
    return ApiResponse::Error(
        FormatToString("Could not decode body returned from the server: %1 - %2", answer.status,
                       RedactSecrets(std::move(answer.error), secrets)),
        500);
  }
  return ApiResponse::FromValue(std::move(answer.body));
}

}  // namespace Oxle::Client::Mhx
