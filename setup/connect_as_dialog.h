// "Connect as": the user name and password for the dial-up connection. OK
// takes both edits (at most 255 characters each); Cancel changes nothing.
#pragma once

#include <QDialog>

#include "config/setup_settings.h"

class QLineEdit;

namespace quorvexia::setup {

inline constexpr std::size_t kConnectAsTextMax = 255;

class ConnectAsDialog : public QDialog {
public:
    ConnectAsDialog(SetupSettings& settings, QWidget* parent);
    void accept() override;

private:
    SetupSettings& settings_;
    QLineEdit* user_;
    QLineEdit* password_;
};

}  // namespace quorvexia::setup
