#pragma once

// What the first-run assistant shows and where it goes next, as pure functions of the model's
// values and of what the person has typed, so that every rule can be checked without widgets.

#include "Appearance.h"
#include "ServiceManager.h"

#include <QList>
#include <QString>

#include <optional>

enum class Step { welcome = 0, service = 1, deviceAccount = 2, signIn = 3, done = 4 };

struct StepHeader {
    QString symbol;
    QString title;
    QString subtitle;
    // Empty for the sign-in step, whose footer depends on the provider (`signInFooter`).
    QString footer;

    bool operator==(const StepHeader&) const = default;
};
StepHeader stepHeader(Step step);

// What the assistant's rules read: the model's values and the fields being typed.
struct OnboardingFacts {
    bool relayAnswering = false; // zidire's status is present
    bool authenticated = false;  // …and says the sending account is signed in
    bool signingIn = false;
    bool providerCanSignIn = true; // the build has a sign-in configuration for `provider`
    QString username{};
    QString password{};
    QString provider{};
    QString fromAddress{};
};

// Each step's closing button; "Set Up Later" accompanies it on every step but the last.
struct ButtonState {
    QString title;
    bool enabled = true;

    bool operator==(const ButtonState&) const = default;
};
ButtonState primaryButton(Step step, const OnboardingFacts& facts);
inline bool showsSetUpLater(Step step) {
    return step != Step::done;
}

// The sign-in step's own button and the text under its section.
ButtonState signInButton(const OnboardingFacts& facts);
QString signInFooter(const QString& provider, bool providerCanSignIn);

struct TintedText {
    QString text;
    Tint tint = Tint::primary;

    bool operator==(const TintedText&) const = default;
};

// The service step's one row: the service's state and what the person can do about it.
enum class ServiceRowAction { none, install, openSystemSettings };
struct ServiceRow {
    TintedText value;
    ServiceRowAction action = ServiceRowAction::none;
    QString actionTitle;

    bool operator==(const ServiceRow&) const = default;
};
ServiceRow serviceRow(ServiceStatus daemon, bool relayAnswering);

TintedText signedInValue(bool authenticated);

// The summary of the last step: what to type into each copier.
struct SummaryRow {
    QString label;
    QString value;

    bool operator==(const SummaryRow&) const = default;
};
QList<SummaryRow> summaryRows(const std::optional<QString>& relayAddress, const QString& username,
                              const QString& fromAddress);

// What moves the assistant on. The two relay events are the moments their truth turns true.
enum class OnboardingEvent {
    primaryPressed,
    setUpLaterPressed,
    relayStartedAnswering,
    accountBecameAuthenticated
};
enum class OnboardingEffect { none, saveDeviceAccount, close };
struct OnboardingTransition {
    Step to;
    OnboardingEffect effect = OnboardingEffect::none;

    bool operator==(const OnboardingTransition&) const = default;
};
// None when the event means nothing on `from`. Whether the pressed button was enabled is the
// caller's to check (`primaryButton`).
std::optional<OnboardingTransition> onboardingTransition(Step from, OnboardingEvent event,
                                                         bool relayAnswering);
