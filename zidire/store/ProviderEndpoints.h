#pragma once

// Where the delivery engine reaches the providers. The real hosts unless the environment or the
// settings file names others (sovereign clouds, tests); the environment wins.

#include <QString>

namespace zidire {

struct Settings;

struct ProviderEndpoints {
    QString microsoftLoginBase;
    QString graphBase;
    QString googleTokenUrl;
    QString gmailBase;

    bool operator==(const ProviderEndpoints&) const = default;
};

ProviderEndpoints providerEndpoints(const Settings& settings);

} // namespace zidire
