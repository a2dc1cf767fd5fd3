#include "connect_as_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "object_names.h"
#include "sheet_page.h"

namespace quorvexia::setup {

ConnectAsDialog::ConnectAsDialog(SetupSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setObjectName(ControlName(kConnectAsTemplate));
    setWindowTitle(QStringLiteral("Connect as"));
    setModal(true);

    auto* intro = new QLabel(
        QStringLiteral("A username and a password are needed for a remote access session:"), this);
    intro->setObjectName(RoleName(kConnectAsTemplate, "intro"));
    intro->setWordWrap(true);
    user_ = new QLineEdit(this);
    user_->setObjectName(ControlName(25304));
    password_ = new QLineEdit(this);
    password_->setObjectName(ControlName(25305));
    password_->setEchoMode(QLineEdit::Password);
    auto* userLabel = new QLabel(QStringLiteral("&Username:"), this);
    userLabel->setObjectName(LabelName(25304));
    userLabel->setBuddy(user_);
    auto* passwordLabel = new QLabel(QStringLiteral("&Password:"), this);
    passwordLabel->setObjectName(LabelName(25305));
    passwordLabel->setBuddy(password_);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(ControlName(1));
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(ControlName(2));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* form = new QFormLayout;
    form->addRow(userLabel, user_);
    form->addRow(passwordLabel, password_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(form);
    layout->addWidget(buttons);

    SetEditText(user_, settings_.dialUser);
    SetEditText(password_, settings_.dialPassword);
}

void ConnectAsDialog::accept() {
    settings_.dialUser = EditText(user_, kConnectAsTextMax);
    settings_.dialPassword = EditText(password_, kConnectAsTextMax);
    QDialog::accept();
}

}  // namespace quorvexia::setup
