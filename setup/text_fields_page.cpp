#include "text_fields_page.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "artwork.h"
#include "object_names.h"
#include "signin_panel.h"

namespace quorvexia::setup {

namespace {

// The choices in the order of the box.
constexpr TransportSecurity kSecurityChoices[] = {TransportSecurity::None, TransportSecurity::StartTls,
                                                  TransportSecurity::ImplicitTls};

QComboBox* MakeSecurityChoice(int id, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(ControlName(id));
    box->addItems({QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
    box->setToolTip(QStringLiteral("Security of the connection to this server"));
    return box;
}

}  // namespace

TextFieldsPage::TextFieldsPage(SetupSettings& settings, int templateId, const char* groupTitle,
                               std::vector<TextFieldRow> fields, QWidget* intro, QWidget* parent)
    : SheetPage(settings, templateId, parent), fields_(std::move(fields)) {
    auto* group = new QGroupBox(QString::fromLatin1(groupTitle), this);
    group->setObjectName(RoleName(templateId, "group"));
    auto* groupLayout = new QVBoxLayout(group);
    if (intro) groupLayout->addWidget(intro);
    auto* form = new QFormLayout;
    for (const TextFieldRow& field : fields_) {
        auto* edit = new QLineEdit(group);
        edit->setObjectName(ControlName(field.id));
        if (field.password) edit->setEchoMode(QLineEdit::Password);
        auto* label = new QLabel(QString::fromLatin1(field.label), group);
        label->setObjectName(LabelName(field.id));
        label->setBuddy(edit);
        QComboBox* security = nullptr;
        if (field.securityId) {
            security = MakeSecurityChoice(field.securityId, group);
            auto* row = new QHBoxLayout;
            row->addWidget(edit, 1);
            row->addWidget(security);
            form->addRow(label, row);
            connect(edit, &QLineEdit::textChanged, this, [this] { showFaults(); });
            connect(security, &QComboBox::currentIndexChanged, this, [this] { showFaults(); });
        } else {
            form->addRow(label, edit);
        }
        edits_.push_back(edit);
        securities_.push_back(security);
    }
    groupLayout->addLayout(form);
    faults_ = new QLabel(group);
    faults_->setObjectName(RoleName(templateId, "faults"));
    faults_->setWordWrap(true);
    faults_->setStyleSheet(QStringLiteral("color: #b00000"));
    faults_->hide();
    groupLayout->addWidget(faults_);
    groupLayout->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
}

void TextFieldsPage::setActive() {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const std::string& text = settings_.*fields_[i].text;
        if (!securities_[i]) {
            SetEditText(edits_[i], text);
            continue;
        }
        TransportSecurity security;
        std::string_view rest;
        std::string error;
        // A scheme the page does not know stays in the edit, where it can be seen and mended.
        if (!SplitServerScheme(text, fields_[i].protocol, security, rest, error)) rest = text;
        SetEditText(edits_[i], std::string(rest));
        for (int choice = 0; choice < 3; ++choice)
            if (kSecurityChoices[choice] == security) securities_[i]->setCurrentIndex(choice);
    }
    showFaults();
}

std::string TextFieldsPage::fieldText(std::size_t row) const {
    std::string text = EditText(edits_[row], kSettingTextMax);
    if (!securities_[row] || text.empty()) return text;
    TransportSecurity typed;
    std::string_view rest;
    std::string error;
    // A scheme typed into the edit wins over the choice, as the field shows it.
    if (!SplitServerScheme(text, fields_[row].protocol, typed, rest, error) || typed != TransportSecurity::None)
        return text;
    TransportSecurity chosen = kSecurityChoices[std::max(0, securities_[row]->currentIndex())];
    return CutText(ComposeServerField(fields_[row].protocol, chosen, text), kSettingTextMax);
}

void TextFieldsPage::showFaults() {
    QStringList faults;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (!securities_[i]) continue;
        std::string fault = CheckServerField(fieldText(i), fields_[i].protocol);
        if (!fault.empty()) faults << QString::fromStdString(fault);
    }
    faults_->setText(faults.join(QLatin1Char('\n')));
    faults_->setVisible(!faults.isEmpty());
}

bool TextFieldsPage::killActive() {
    for (std::size_t i = 0; i < fields_.size(); ++i) settings_.*fields_[i].text = fieldText(i);
    return true;
}

void TextFieldsPage::addBelow(QWidget* widget) { static_cast<QVBoxLayout*>(layout())->addWidget(widget); }

TextFieldsPage* MakeMailServersPage(SetupSettings& settings) {
    auto* page = new TextFieldsPage(settings, kMailServersTemplate, "Mail server information",
                              {
                                  {"&Domain name:", 1238, &SetupSettings::domainName, false},
                                  {"&SMTP Server:", 1239, &SetupSettings::smtpServer, false, 1243, ServerProtocol::Smtp},
                                  {"&POP3 Server:", 1240, &SetupSettings::pop3Server, false, 1244, ServerProtocol::Pop3},
                                  {"POP3 &Username:", 1241, &SetupSettings::pop3User, false},
                                  {"POP3 Pass&word:", 1242, &SetupSettings::pop3Password, true},
                              });
    page->addBelow(new SignInPanel(settings, *page));
    return page;
}

TextFieldsPage* MakeDirectoriesPage(SetupSettings& settings) {
    QWidget* intro = IconBeside(Artwork::Folder, kDirectoriesTemplate,
                                "Specify the mail directories, and optionally a logfile:");
    return new TextFieldsPage(settings, kDirectoriesTemplate, "Directories",
                              {
                                  {"&Inbound email:", 1440, &SetupSettings::inboundDir, false},
                                  {"&Outbound email:", 1441, &SetupSettings::outboundDir, false},
                                  {"&Logfile:", 1442, &SetupSettings::logFile, false},
                              },
                              intro);
}

}  // namespace quorvexia::setup
