#include "api/resource_uri.h"

#include <gtest/gtest.h>

namespace Oxle::Client::Api {
namespace {

TEST(EventNameForUri, KeepsFourEntriesOrSixForPlatformConfig) {
  const std::pair<const char*, const char*> cases[] = {
      {"/qel-login/v1/session", "OnJsonApiEvent_qel-login_v1_session"},
      {"/qel-login/v1/session/extra", "OnJsonApiEvent_qel-login_v1_session"},
      {"/qel-mhx/v2/recently-played-champions/7",
       "OnJsonApiEvent_qel-mhx_v2_recently-played-champions"},
      {"/qel-platform-config/v1/namespaces/LoginDataPacket/platformId",
       "OnJsonApiEvent_qel-platform-config_v1_namespaces_LoginDataPacket_platformId"},
      {"/qel-platform-config/v1/namespaces/KRTMHX",
       "OnJsonApiEvent_qel-platform-config_v1_namespaces_KRTMHX"},
      {"/qel-platform-config/a/b/c/d/e/f", "OnJsonApiEvent_qel-platform-config_a_b_c_d"},
      {"//qel-login///v1/", "OnJsonApiEvent_qel-login_v1"},
      {"qel-login/v1/session", "OnJsonApiEvent_qel-login_v1_session"},
      {"/x/qel-platform-config/a/b/c", "OnJsonApiEvent_x_qel-platform-config_a"},
      {"", "OnJsonApiEvent"},
      {"///", "OnJsonApiEvent"},
  };
  for (const auto& [uri, name] : cases)
    EXPECT_EQ(EventNameForUri(uri), name) << uri;
}

TEST(MatchesResourcePattern, StarTakesOneSegmentPiece) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/a/*", "/a/b", true},
      {"/a/*", "/a/", false},
      {"/a/*", "/a/b/c", false},
      {"/a/*/c", "/a/x/c", true},
      {"/a/*/c", "/a//c", true},
      {"/a/*/c", "/a/x/d", false},
      {"/a/b", "/a/b", true},
      {"/a/b", "/a/bc", false},
      {"/a/bc", "/a/b", false},
      {"/a/*x", "/a/bx", false},
      {"*", "abc", true},
      {"*", "", false},
      {"", "", true},
      {"/a/**", "/a/b", false},
  };
  for (const auto& [pattern, uri, matches] : cases)
    EXPECT_EQ(MatchesResourcePattern(pattern, uri), matches) << pattern << " against " << uri;
}

}  // namespace
}  // namespace Oxle::Client::Api
