#include "text_fields_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "artwork.h"
#include "object_names.h"

namespace quorvexia::setup {

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
        form->addRow(label, edit);
        edits_.push_back(edit);
    }
    groupLayout->addLayout(form);
    groupLayout->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
}

void TextFieldsPage::setActive() {
    for (std::size_t i = 0; i < fields_.size(); ++i) SetEditText(edits_[i], settings_.*fields_[i].text);
}

bool TextFieldsPage::killActive() {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        settings_.*fields_[i].text = EditText(edits_[i], kSettingTextMax);
    }
    return true;
}

TextFieldsPage* MakeMailServersPage(SetupSettings& settings) {
    return new TextFieldsPage(settings, kMailServersTemplate, "Mail server information",
                              {
                                  {"&Domain name:", 1238, &SetupSettings::domainName, false},
                                  {"&SMTP Server:", 1239, &SetupSettings::smtpServer, false},
                                  {"&POP3 Server:", 1240, &SetupSettings::pop3Server, false},
                                  {"POP3 &Username:", 1241, &SetupSettings::pop3User, false},
                                  {"POP3 Pass&word:", 1242, &SetupSettings::pop3Password, true},
                              });
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
