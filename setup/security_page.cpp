#include "security_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "artwork.h"
#include "object_names.h"

namespace quorvexia::setup {

std::string SizeTooLargeText() {
    return "The maximum message size is too large. The largest is " + std::to_string(kMaxKilobytes) + " kB.";
}

SecurityPage::SecurityPage(SetupSettings& settings, MessageBoxes& boxes, QWidget* parent)
    : SheetPage(settings, kSecurityTemplate, parent), boxes_(boxes) {
    auto* group = new QGroupBox(QStringLiteral("Security settings"), this);
    group->setObjectName(RoleName(kSecurityTemplate, "group"));
    QWidget* intro = IconBeside(Artwork::Shield, kSecurityTemplate,
                                "The following settings enable security features:");

    flood_ = new QCheckBox(QStringLiteral("&Flood protection"), group);
    flood_->setObjectName(ControlName(1005));

    auto* inner = new QGroupBox(QStringLiteral("Settings"), group);
    inner->setObjectName(RoleName(kSecurityTemplate, "settings"));
    sizeLabel_ = new QLabel(QStringLiteral("&Maximum message size:"), inner);
    sizeLabel_->setObjectName(ControlName(1008));
    size_ = new QLineEdit(inner);
    size_->setObjectName(ControlName(1007));
    sizeLabel_->setBuddy(size_);
    auto* unit = new QLabel(QStringLiteral("kB"), inner);
    unit->setObjectName(QStringLiteral("1007.unit"));
    deleteLarger_ = new QCheckBox(QStringLiteral("&Delete larger messages from server."), inner);
    deleteLarger_->setObjectName(ControlName(1006));

    auto* grid = new QGridLayout(inner);
    grid->addWidget(sizeLabel_, 0, 0);
    grid->addWidget(size_, 0, 1);
    grid->addWidget(unit, 0, 2);
    grid->addWidget(deleteLarger_, 1, 0, 1, 3);
    grid->setColumnStretch(1, 1);

    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(intro);
    groupLayout->addWidget(flood_);
    groupLayout->addWidget(inner);
    groupLayout->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);

    // clicked() comes from the user (mouse, space, mnemonic) only, never from
    // the page filling its boxes.
    connect(flood_, &QCheckBox::clicked, this, [this](bool checked) {
        settings_.floodProtection = checked ? 1 : 0;
        updateFloodControls();
    });
    connect(deleteLarger_, &QCheckBox::clicked, this,
            [this](bool checked) { settings_.deleteOversize = checked ? 1 : 0; });
}

void SecurityPage::setActive() {
    flood_->setChecked(settings_.floodProtection != 0);
    SetEditText(size_, settings_.maxSizeText);
    deleteLarger_->setChecked(settings_.deleteOversize != 0);
    updateFloodControls();
}

bool SecurityPage::killActive() {
    // Read even while flood protection is off; the save then ignores it.
    settings_.maxSizeText = EditText(size_, kMaxSizeTextMax);
    if (!settings_.floodProtection || ParseKilobytes(settings_.maxSizeText) <= kMaxKilobytes) return true;
    // Stored, the number would be cut to another limit; the user picks one.
    boxes_.show(MessageKind::Warning, SizeTooLargeText(), window());
    size_->setFocus(Qt::OtherFocusReason);
    size_->selectAll();
    return false;
}

void SecurityPage::updateFloodControls() {
    bool on = settings_.floodProtection != 0;
    size_->setEnabled(on);
    deleteLarger_->setEnabled(on);
    sizeLabel_->setEnabled(on);
}

}  // namespace quorvexia::setup
