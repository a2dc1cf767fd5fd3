#include "signin_panel.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <thread>

#include "object_names.h"

namespace quorvexia::setup {

namespace {

struct ProviderChoice {
    const char* name;   // korv.conf's
    const char* title;  // the box's
};
constexpr ProviderChoice kProviders[] = {{"microsoft", "Microsoft"}, {"google", "Google"}, {"custom", "Custom"}};

QLineEdit* AddRow(QFormLayout* form, const char* label, const char* name, const std::string& text,
                  QWidget* parent) {
    auto* edit = new QLineEdit(QString::fromStdString(text), parent);
    edit->setObjectName(QString::fromLatin1(name));
    form->addRow(QString::fromLatin1(label), edit);
    return edit;
}

std::string Trimmed(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

std::string ConfigPath(const std::string& dir) { return dir.empty() ? kSideFileName : dir + "/" + kSideFileName; }

}  // namespace

SignInDialog::SignInDialog(const SideSettings& side, const std::string& userName, QWidget* parent)
    : QDialog(parent), side_(side) {
    setObjectName(QStringLiteral("signin"));
    setWindowTitle(QStringLiteral("Sign in with your provider"));
    form_ = new QFormLayout;
    provider_ = new QComboBox(this);
    provider_->setObjectName(QStringLiteral("signin.provider"));
    for (const ProviderChoice& p : kProviders) provider_->addItem(QString::fromLatin1(p.title));
    form_->addRow(QStringLiteral("&Provider:"), provider_);
    tenant_ = AddRow(form_, "&Tenant:", "signin.tenant", side.oauthTenant, this);
    tenant_->setPlaceholderText(QStringLiteral("common, organizations, consumers or a tenant ID"));
    std::string account = side.oauthAccount;
    if (account.empty() && userName.find('@') != std::string::npos) account = userName;
    account_ = AddRow(form_, "&Account:", "signin.account", account, this);
    account_->setPlaceholderText(QStringLiteral("you@example.com"));
    clientId_ = AddRow(form_, "&Client ID:", "signin.client-id", "", this);
    clientId_->setPlaceholderText(QStringLiteral("your own app registration (empty: the built-in one)"));
    secret_ = AddRow(form_, "Client &secret:", "signin.client-secret", "", this);
    secret_->setEchoMode(QLineEdit::Password);
    authorizeUrl_ = AddRow(form_, "A&uthorization URL:", "signin.authorize-url", "", this);
    tokenUrl_ = AddRow(form_, "T&oken URL:", "signin.token-url", "", this);
    scope_ = AddRow(form_, "Sc&opes:", "signin.scope", "", this);
    store_ = new QComboBox(this);
    store_->setObjectName(QStringLiteral("signin.store"));
    store_->addItems({QStringLiteral("Key ring"), QStringLiteral("Token file (korv.token, for runs without a desktop)")});
    store_->setCurrentIndex(side.oauthStore == "file" ? 1 : 0);
    form_->addRow(QStringLiteral("&Keep the sign-in in:"), store_);

    for (int i = 0; i < 3; ++i)
        if (side.oauth == kProviders[i].name) provider_->setCurrentIndex(i);
    providerChanged();
    connect(provider_, &QComboBox::currentIndexChanged, this, [this] { providerChanged(); });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Sign in"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("signin.ok"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form_);
    layout->addWidget(buttons);
}

void SignInDialog::providerChanged() {
    std::string name = kProviders[std::max(0, provider_->currentIndex())].name;
    // Another provider's registration and addresses do not carry over.
    bool same = name == side_.oauth;
    clientId_->setText(QString::fromStdString(same ? side_.oauthClientId : ""));
    authorizeUrl_->setText(QString::fromStdString(same ? side_.oauthAuthorizeUrl : ""));
    tokenUrl_->setText(QString::fromStdString(same ? side_.oauthTokenUrl : ""));
    scope_->setText(QString::fromStdString(same ? side_.oauthScope : ""));
    form_->setRowVisible(tenant_, name == "microsoft");
    form_->setRowVisible(secret_, name != "microsoft");  // Microsoft's desktop apps have none
    for (QLineEdit* custom : {authorizeUrl_, tokenUrl_, scope_}) form_->setRowVisible(custom, name == "custom");
}

signin::SignInChoice SignInDialog::choice() const {
    std::string name = kProviders[std::max(0, provider_->currentIndex())].name;
    bool custom = name == "custom";
    return {name,
            Trimmed(account_),
            name == "microsoft" ? Trimmed(tenant_) : "",
            Trimmed(clientId_),
            store_->currentIndex() == 1 ? "file" : "keyring",
            custom ? Trimmed(authorizeUrl_) : "",
            custom ? Trimmed(tokenUrl_) : "",
            custom ? Trimmed(scope_) : ""};
}

std::string SignInDialog::clientSecret() const {
    // Microsoft's desktop apps have none; a secret typed before switching to it does not count.
    return provider_->currentIndex() == 0 ? std::string() : secret_->text().toStdString();
}

SignInProgress::SignInProgress(const std::string& url, bool browserOpened, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("signin.progress"));
    setWindowTitle(QStringLiteral("Signing in"));
    QString host = QString::fromStdString(std::string(signin::UrlHost(url))).toHtmlEscaped();
    auto* intro = new QLabel(
        QStringLiteral("Sign in at <b>%1</b> in your browser; check that its address bar shows this host.").arg(host),
        this);
    intro->setWordWrap(true);
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("signin.note"));
    note_->setWordWrap(true);
    note_->setText(browserOpened ? QStringLiteral("Waiting for the browser (at most 5 minutes)...")
                                 : QStringLiteral("No browser could be opened: open this address yourself."));
    // The address as a whole, its host in bold, for copying into a browser.
    auto* address = new QTextBrowser(this);
    address->setObjectName(QStringLiteral("signin.url"));
    address->setOpenLinks(false);
    address->setWordWrapMode(QTextOption::WrapAnywhere);
    QString text = QString::fromStdString(url);
    qsizetype at = text.indexOf(QStringLiteral("://"));
    at = at < 0 ? 0 : at + 3;
    address->setHtml(text.left(at).toHtmlEscaped() + QStringLiteral("<b>") + host + QStringLiteral("</b>") +
                     text.mid(at + host.size()).toHtmlEscaped());
    address->setFixedHeight(address->fontMetrics().lineSpacing() * 5);
    auto* busy = new QProgressBar(this);
    busy->setRange(0, 0);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("signin.cancel"));
    connect(cancel, &QPushButton::clicked, this, &SignInProgress::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(address);
    layout->addWidget(note_);
    layout->addWidget(busy);
    layout->addWidget(cancel, 0, Qt::AlignRight);
    resize(520, sizeHint().height());
}

void SignInProgress::reject() {
    cancelled_ = true;
    note_->setText(QStringLiteral("Cancelling..."));
}

SignInPanel::SignInPanel(SetupSettings& settings, SheetPage& page, std::string configDir, QWidget* parent)
    : QGroupBox(QStringLiteral("Sign in with your provider"), parent),
      settings_(settings),
      page_(page),
      dir_(std::move(configDir)) {
    setObjectName(RoleName(kMailServersTemplate, "signin-group"));
    status_ = new QLabel(this);
    status_->setObjectName(RoleName(kMailServersTemplate, "signin-status"));
    status_->setWordWrap(true);
    auto* start = new QPushButton(QStringLiteral("Sign &in…"), this);
    start->setObjectName(RoleName(kMailServersTemplate, "signin"));
    signOut_ = new QPushButton(QStringLiteral("Sign &out"), this);
    signOut_->setObjectName(RoleName(kMailServersTemplate, "signout"));
    connect(start, &QPushButton::clicked, this, [this] { signIn(); });
    connect(signOut_, &QPushButton::clicked, this, [this] { signOut(); });
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(status_, 1);
    layout->addWidget(start);
    layout->addWidget(signOut_);
    showState();
}

void SignInPanel::say(const std::string& text, bool fault) {
    status_->setText(QString::fromStdString(text));
    status_->setStyleSheet(fault ? QStringLiteral("color: #b00000") : QString());
}

bool SignInPanel::loadSide(SideSettings& side) {
    std::string error;
    if (ReadSideFile(ConfigPath(dir_), side, error) != SideFileStatus::Failed) return true;
    say(error + " (mend or remove the file)", true);
    return false;
}

void SignInPanel::showState() {
    SideSettings side;
    if (!loadSide(side)) return;
    signOut_->setEnabled(!side.oauth.empty());
    if (side.oauth.empty()) return say("Not signed in with a provider.", false);
    std::string where;
    signin::Failure failure;
    if (!signin::SignInState(side, dir_, where, failure)) return say(failure.sentence, true);
    say(signin::SignedInText(side.oauthAccount, where), false);
}

void SignInPanel::signIn() {
    SideSettings side;
    if (!loadSide(side)) return;
    SignInDialog ask(side, settings_.pop3User, this);
    if (ask.exec() != QDialog::Accepted) return;
    signin::Provider provider;
    std::string error;
    if (!signin::PrepareSignIn(ask.choice(), side, provider, error)) return say(error, true);
    std::string secret = ask.clientSecret();

    signin::BrowserSignIn flow;
    signin::Failure failure;
    if (!flow.begin(provider, side.oauthAccount, failure)) return say(failure.sentence, true);
    bool opened = QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(flow.url())));
    SignInProgress progress(flow.url(), opened, this);
    signin::TokenGrant grant;
    bool ok = false;
    // The wait and the token request block; the window must not.
    std::thread worker([&] {
        ok = flow.finish(secret, signin::HttpOptions{side.caFile}, [&] { return progress.cancelled(); }, grant,
                         failure);
        QMetaObject::invokeMethod(&progress, [&progress] { progress.done(QDialog::Accepted); }, Qt::QueuedConnection);
    });
    progress.exec();
    worker.join();
    std::string where;
    if (!ok || !signin::KeepSignIn(side, provider, grant, secret, dir_, where, failure))
        return say(failure.sentence, true);

    // The provider's servers and the account go into the page as if typed.
    page_.killActive();
    if (!provider.popServer.empty()) {
        settings_.pop3Server = provider.popServer;
        settings_.smtpServer = provider.smtpServer;
    }
    settings_.pop3User = CutText(side.oauthAccount, kSettingTextMax);
    page_.setActive();
    showState();
}

void SignInPanel::signOut() {
    SideSettings side;
    if (!loadSide(side)) return;
    std::string account;
    bool unconfirmed = false;
    signin::Failure failure;
    bool ok = signin::SignOut(side, dir_, account, unconfirmed, failure);
    signOut_->setEnabled(!ok);
    if (!ok) return say(failure.sentence, true);
    say("Signed out " + account + (unconfirmed ? std::string("; ") + signin::kRevokeUnconfirmed : std::string()),
        unconfirmed);
}

}  // namespace quorvexia::setup
