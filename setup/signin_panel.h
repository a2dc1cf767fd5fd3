// Sign-in with a provider on the Mail servers page: a status line ("Signed
// in as ann@example.com (key ring)"), "Sign in…" and "Sign out". Sign-in
// asks for the provider (Microsoft with its tenant, Google, Custom), the
// account and where to keep the grant, opens the browser and waits for it
// behind a progress dialog whose Cancel stops the listener at once; the
// flow runs on a thread of its own so that the window stays alive. A
// finished sign-in fills the server fields (with their security) and the
// user name with the provider's. All of it goes through the signin core;
// korv.conf is written by the same writer korvconf uses.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <atomic>
#include <string>

#include "config/side_file.h"
#include "sheet_page.h"
#include "signin/signin_session.h"

class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quorvexia::setup {

// The questions before a sign-in, named "signin"; its fields are
// "signin.provider", "signin.tenant", "signin.account", "signin.client-id",
// "signin.client-secret", "signin.authorize-url", "signin.token-url",
// "signin.scope" and "signin.store".
class SignInDialog : public QDialog {
public:
    SignInDialog(const SideSettings& side, const std::string& userName, QWidget* parent = nullptr);
    signin::SignInChoice choice() const;
    std::string clientSecret() const;

private:
    void providerChanged();

    SideSettings side_;
    QFormLayout* form_;
    QComboBox* provider_;
    QComboBox* store_;
    QLineEdit *tenant_, *account_, *clientId_, *secret_, *authorizeUrl_, *tokenUrl_, *scope_;
};

// Shown while the browser is out: the address with its host in bold
// ("signin.url"), and Cancel ("signin.cancel"). Named "signin.progress".
class SignInProgress : public QDialog {
public:
    SignInProgress(const std::string& url, bool browserOpened, QWidget* parent = nullptr);
    bool cancelled() const { return cancelled_; }
    // Cancel (or Escape) asks the flow to stop; the dialog closes when it has.
    void reject() override;

private:
    std::atomic<bool> cancelled_{false};
    QLabel* note_;
};

class SignInPanel : public QGroupBox {
public:
    // `configDir` holds korv.cfg and korv.conf ("" the current directory).
    SignInPanel(SetupSettings& settings, SheetPage& page, std::string configDir = "", QWidget* parent = nullptr);
    // Refills the status line from korv.conf and the store.
    void showState();

private:
    void signIn();
    void signOut();
    void say(const std::string& text, bool fault);
    bool loadSide(SideSettings& side);

    SetupSettings& settings_;
    SheetPage& page_;
    std::string dir_;
    QLabel* status_;
    QPushButton* signOut_;
};

}  // namespace quorvexia::setup
