#pragma once

// The main window's content: what state the relay is in, what to do next, and the messages of the
// model. Everything it shows is recomputed from the model whenever the model publishes a change;
// it keeps only what is its own: the last log it fetched.

#include "AppState.h"
#include "LogView.h"
#include "Rebuild.h"
#include "StatusPresentation.h"

#include <QCoroTask>
#include <QDialog>
#include <QPointer>
#include <QWidget>

class GroupedForm;
class QHBoxLayout;

class StatusView : public QWidget {
    Q_OBJECT

public:
    static constexpr int contentWidth = 420;

    explicit StatusView(AppState& state, QWidget* parent = nullptr);
    ~StatusView() override;

    // Says, below the messages, that the desktop has no tray to put the wanted icon in.
    void setTrayUnavailable(bool unavailable);

    // The modal pieces while they are open, for whoever needs to reach them.
    QDialog* testPrompt() const { return m_testPrompt; }
    QDialog* logSheet() const { return m_logSheet; }
    QDialog* onboardingSheet() const { return m_onboardingSheet; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void rebuild();
    // The window's height follows its content; its width never changes.
    void fitHeightToContent();
    void addSecondSection(StatusPhase phase);
    void addMessageSections();
    void rebuildButtons(StatusPhase phase);
    void perform(StatusAction action);
    void openTestPrompt();
    void openLog();
    QCoro::Task<> fetchLog();
    void followOnboarding();

    AppState& m_state;
    QWidget* m_content = nullptr;
    // The parts of the content being built.
    GroupedForm* m_form = nullptr;
    QHBoxLayout* m_buttons = nullptr;
    CoalescedCall m_rebuild;
    bool m_trayUnavailable = false;

    // Everything the window shows is a function of these.
    struct Shown {
        StatusPhase phase;
        bool daemonEnabled; // all the buttons need of the service status beyond the phase
        std::optional<ControlStatus> status;
        std::optional<QString> connectivityError;
        std::optional<QString> infoMessage;
        std::optional<QString> lastError;
        bool signingIn;
        bool trayNote;
        qint64 palette;
        bool operator==(const Shown&) const = default;
    };
    Shown shown() const;
    std::optional<Shown> m_shown;

    QString m_logText;
    QPointer<QDialog> m_testPrompt;
    QPointer<QDialog> m_logSheet;
    QPointer<LogView> m_logView;
    QPointer<QDialog> m_onboardingSheet;
};
