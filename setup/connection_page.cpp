#include "connection_page.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QProxyStyle>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <functional>

#include "artwork.h"
#include "connect_as_dialog.h"
#include "object_names.h"
#include "phonebook.h"

namespace quorvexia::setup {

// The drop-down list of entries; it tells the page when its list closes up.
// The combo box also asks to hide its list when it is hidden or disabled
// (leaving the page, OK); no list was open then, and nothing is taken.
class EntryComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> closedUp;
    void hidePopup() override {
        bool wasOpen = view() && view()->window()->isVisible();
        QComboBox::hidePopup();
        if (wasOpen && closedUp) closedUp();
    }
};

namespace {

constexpr std::size_t kEditNameMax = 1023;  // the name handed to the edit dialog

// Rows the open list shows before it scrolls, and the width in characters
// the closed box asks for: a long name is cut off at the box's edge, in the
// box and in the list alike, and never widens the sheet or covers the screen.
constexpr int kVisibleEntries = 10;
constexpr int kEntryColumns = 24;

// Some styles open a combo box as a menu as tall and as wide as its longest
// entry; the list opens as a scrolling list under the box instead.
class ScrollingListStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == QStyle::SH_ComboBox_Popup) return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

}  // namespace

ConnectionPage::ConnectionPage(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes,
                               QWidget* parent)
    : SheetPage(settings, kConnectionTemplate, parent), ras_(ras), boxes_(boxes) {
    auto* group = new QGroupBox(QStringLiteral("Internet Mail Connection"), this);
    group->setObjectName(RoleName(kConnectionTemplate, "group"));
    QWidget* intro = IconBeside(Artwork::Network, kConnectionTemplate,
                                "Specify your connection type. If you connect by modem, setup the login "
                                "information in \"Connect as\".");

    network_ = new QRadioButton(QStringLiteral("Connect by &network"), group);
    network_->setObjectName(ControlName(kConnectByNetwork));
    modem_ = new QRadioButton(QStringLiteral("Connect by &modem"), group);
    modem_->setObjectName(ControlName(kConnectByModem));

    auto* listLabel = new QLabel(QStringLiteral("Using this connection:"), group);
    listLabel->setObjectName(LabelName(25201));
    auto* listIcon = new QLabel(group);
    listIcon->setObjectName(RoleName(kConnectionTemplate, "listIcon"));
    listIcon->setPixmap(ArtworkPixmap(Artwork::Modem, QSize(32, 32)));
    list_ = new EntryComboBox(group);
    list_->setObjectName(ControlName(25201));
    list_->setEditable(false);
    list_->setInsertPolicy(QComboBox::NoInsert);
    auto* listStyle = new ScrollingListStyle;
    listStyle->setParent(list_);
    list_->setStyle(listStyle);
    list_->setMaxVisibleItems(kVisibleEntries);
    list_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list_->setMinimumContentsLength(kEntryColumns);
    listLabel->setBuddy(list_);

    add_ = new QPushButton(QStringLiteral("&Add entry..."), group);
    add_->setObjectName(ControlName(25202));
    edit_ = new QPushButton(QStringLiteral("&Edit entry..."), group);
    edit_->setObjectName(ControlName(25204));
    connectAs_ = new QPushButton(QStringLiteral("&Connect as..."), group);
    connectAs_->setObjectName(ControlName(25205));
    // Enter on a focused button presses that button, as Space does, not OK.
    for (QPushButton* b : {add_, edit_, connectAs_}) b->setAutoDefault(true);

    auto* entryRow = new QGridLayout;
    entryRow->addWidget(listLabel, 0, 1);
    entryRow->addWidget(listIcon, 1, 0);
    entryRow->addWidget(list_, 1, 1);
    entryRow->setColumnStretch(1, 1);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(add_);
    buttonRow->addWidget(edit_);
    buttonRow->addWidget(connectAs_);
    buttonRow->addStretch();

    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(intro);
    groupLayout->addWidget(network_);
    groupLayout->addWidget(modem_);
    groupLayout->addLayout(entryRow);
    groupLayout->addLayout(buttonRow);
    groupLayout->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);

    // Tab reaches the pair of mode buttons at the checked one, so that Space
    // there cannot switch the mode by accident; the arrow keys move between them.
    for (QRadioButton* b : {network_, modem_}) {
        connect(b, &QRadioButton::toggled, this, [b](bool checked) {
            b->setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
        });
        b->setFocusPolicy(Qt::ClickFocus);
    }
    connect(network_, &QRadioButton::clicked, this, [this] { modeClicked(kConnectByNetwork); });
    connect(modem_, &QRadioButton::clicked, this, [this] { modeClicked(kConnectByModem); });
    list_->closedUp = [this] { takeSelection(); };
    // A choice made with the keys while the list is closed counts as well, so
    // that the entry shown is the entry saved.
    connect(list_, &QComboBox::activated, this, [this] { takeSelection(); });
    connect(add_, &QPushButton::clicked, this, [this] { addEntry(); });
    connect(edit_, &QPushButton::clicked, this, [this] { editEntry(); });
    connect(connectAs_, &QPushButton::clicked, this, [this] { connectAs(); });
}

QRadioButton* ConnectionPage::modeButton(int mode) const {
    return mode == kConnectByModem ? modem_ : network_;
}

void ConnectionPage::initialise() {
    initialised_ = true;
    if (!ras_.loaded()) {
        settings_.connectionMode = kConnectByNetwork;
        modem_->setEnabled(false);
    }
    // The click fills the list and takes its selection, as a user's click would.
    modeButton(settings_.connectionMode)->click();
}

void ConnectionPage::setActive() {
    if (!initialised_) initialise();
    if (settings_.connectionMode != 0) modeButton(settings_.connectionMode)->setChecked(true);
}

int ConnectionPage::refreshEntryList(int mode) {
    list_->clear();
    entries_ = EnumeratePhonebookEntries(ras_, boxes_, this, reportedErrors_);
    for (const std::string& name : entries_) {
        QString text = QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size()));
        list_->addItem(text);
        list_->setItemData(list_->count() - 1, text, Qt::ToolTipRole);  // the whole of a long name
    }
    if (!entries_.empty()) {
        list_->setCurrentIndex(0);
        int match = FindEntryByPrefix(entries_, settings_.dialEntry);
        if (match >= 0) list_->setCurrentIndex(match);
    }
    bool modem = mode == kConnectByModem;
    bool listed = modem && !entries_.empty();
    add_->setEnabled(modem);
    edit_->setEnabled(listed);
    connectAs_->setEnabled(listed);
    list_->setEnabled(listed);
    return static_cast<int>(entries_.size());
}

void ConnectionPage::takeSelection() {
    int index = list_->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size()) return;
    settings_.dialEntry = CutText(entries_[static_cast<std::size_t>(index)], kDialTextMax);
}

void ConnectionPage::modeClicked(int mode) {
    settings_.connectionMode = mode;
    refreshEntryList(mode);
    takeSelection();
}

void ConnectionPage::addEntry() {
    CreatePhonebookEntry(ras_, this);
    refreshEntryList(settings_.connectionMode);
    takeSelection();
}

void ConnectionPage::editEntry() {
    int index = list_->currentIndex();
    std::string name;
    if (index >= 0 && static_cast<std::size_t>(index) < entries_.size()) {
        name = CutText(entries_[static_cast<std::size_t>(index)], kEditNameMax);
    }
    EditPhonebookEntry(ras_, this, name);
    // The entry keeps its place in the settings until the user picks one again.
    refreshEntryList(settings_.connectionMode);
}

void ConnectionPage::connectAs() {
    ConnectAsDialog dialog(settings_, this);
    dialog.exec();
}

}  // namespace quorvexia::setup
