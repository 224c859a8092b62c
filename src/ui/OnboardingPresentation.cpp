#include "OnboardingPresentation.h"

StepHeader stepHeader(Step step) {
    switch (step) {
    case Step::welcome:
        return {"printer", "Welcome to Moxtrel", "Scan to email for your copiers, in a few steps.",
                "You can cancel at any time and finish later in Settings (⌘,)."};
    case Step::service:
        return {"power", "Start the background service",
                "The service receives scans and relays them.",
                "Installing asks for an administrator's credentials — the service must run in the "
                "background even when nobody is logged in. This step finishes on its own once the "
                "service answers."};
    case Step::deviceAccount:
        return {"key", "Create the device login",
                "The username and password your copiers will use.",
                "Enter these same details in each copier's scan-to-email setup (SMTP "
                "authentication). One shared login covers all your devices, and you can view or "
                "change it later in Settings."};
    case Step::signIn:
        return {"person.crop.circle",
                "Connect your sending account",
                "Scans are sent through Microsoft 365 or Google Workspace.",
                {}};
    case Step::done:
        break;
    }
    return {"checkmark.circle", "You're all set",
            "Point your copiers at the relay and start scanning.",
            "Enter the relay address, port, and device login in each copier's scan-to-email "
            "settings. The details are always available in Settings › Device account."};
}

ButtonState primaryButton(Step step, const OnboardingFacts& facts) {
    switch (step) {
    case Step::welcome:
        return {"Continue", true};
    case Step::service:
        return {"Continue", facts.relayAnswering};
    case Step::deviceAccount:
        return {"Continue", !facts.username.isEmpty() && !facts.password.isEmpty()};
    case Step::signIn:
        return {"Continue", facts.relayAnswering && facts.authenticated};
    case Step::done:
        break;
    }
    return {"Finish", true};
}

ButtonState signInButton(const OnboardingFacts& facts) {
    const bool google = facts.provider == u"gmail";
    const QString title = facts.signingIn ? QStringLiteral("Waiting for the browser…")
                          : google        ? QStringLiteral("Sign in with Google…")
                                          : QStringLiteral("Sign in with Microsoft…");
    return {title, !facts.fromAddress.isEmpty() && !facts.signingIn && facts.providerCanSignIn};
}

QString signInFooter(const QString& provider, bool providerCanSignIn) {
    if (provider != u"gmail")
        return QStringLiteral(
            "Every scan is sent from this address, no matter which copier it came from. Your "
            "browser opens to sign in; this step finishes on its own afterwards.");
    if (!providerCanSignIn)
        return QStringLiteral(
            "Google sign-in is disabled in this build — no Google OAuth client is configured. "
            "Choose Microsoft 365, or finish later in Settings.");
    return QStringLiteral(
        "Google's verification review of Moxtrel is still in progress — sign-in currently works "
        "only for listed test users, and expires after 7 days until the review clears.");
}

ServiceRow serviceRow(ServiceStatus daemon, bool relayAnswering) {
    switch (daemon) {
    case ServiceStatus::notRegistered:
    case ServiceStatus::notFound:
        return {{"Not installed", Tint::secondary}, ServiceRowAction::install, "Install…"};
    case ServiceStatus::requiresApproval:
        return {{"Waiting for approval", Tint::accent},
                ServiceRowAction::openSystemSettings,
                "Open System Settings"};
    case ServiceStatus::enabled:
        break;
    }
    return {relayAnswering ? TintedText{"Running", Tint::green}
                           : TintedText{"Starting…", Tint::accent},
            ServiceRowAction::none,
            {}};
}

TintedText signedInValue(bool authenticated) {
    return authenticated ? TintedText{"Yes", Tint::green} : TintedText{"Not yet", Tint::red};
}

QList<SummaryRow> summaryRows(const std::optional<QString>& relayAddress, const QString& username,
                              const QString& fromAddress) {
    return {
        {"Relay address", relayAddress.value_or(QStringLiteral("this Mac's IP address"))},
        {"Ports", "25, 587 (STARTTLS) or 465 (TLS)"},
        {"Device username", username},
        {"Sends as", fromAddress},
    };
}

std::optional<OnboardingTransition> onboardingTransition(Step from, OnboardingEvent event,
                                                         bool relayAnswering) {
    using E = OnboardingEvent;
    if (event == E::setUpLaterPressed)
        return showsSetUpLater(from)
                   ? std::optional(OnboardingTransition{from, OnboardingEffect::close})
                   : std::nullopt;
    switch (from) {
    case Step::welcome:
        if (event == E::primaryPressed)
            return OnboardingTransition{relayAnswering ? Step::deviceAccount : Step::service};
        break;
    case Step::service:
        if (event == E::primaryPressed || event == E::relayStartedAnswering)
            return OnboardingTransition{Step::deviceAccount};
        break;
    case Step::deviceAccount:
        if (event == E::primaryPressed)
            return OnboardingTransition{Step::signIn, OnboardingEffect::saveDeviceAccount};
        break;
    case Step::signIn:
        if (event == E::primaryPressed || event == E::accountBecameAuthenticated)
            return OnboardingTransition{Step::done};
        break;
    case Step::done:
        if (event == E::primaryPressed)
            return OnboardingTransition{Step::done, OnboardingEffect::close};
        break;
    }
    return std::nullopt;
}
