#pragma once

#include <QComboBox>

namespace tarni {

class AppModel;

// System, English, 日本語, 简体中文: choosing one switches the interface at
// once; the picker follows changes made elsewhere.
class LanguagePicker : public QComboBox {
    Q_OBJECT
public:
    LanguagePicker(AppModel &model, QWidget *parent = nullptr);

private:
    void refresh();

    AppModel &m_model;
    bool m_refreshing = false;
};

} // namespace tarni
