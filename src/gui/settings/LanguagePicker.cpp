#include "gui/settings/LanguagePicker.h"

#include "app/AppModel.h"
#include "gui/GuiSupport.h"

namespace tarni {

LanguagePicker::LanguagePicker(AppModel &model, QWidget *parent)
    : QComboBox(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("languagePicker"));
    for (const AppLanguage language : kAllAppLanguages)
        addItem(languageDisplayName(language), rawValue(language));
    refresh();
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_refreshing || index < 0)
            return;
        const auto language = appLanguageFromRawValue(itemData(index).toString());
        if (language && *language != m_model.appLanguage())
            m_model.setLanguage(*language);
    });
    connect(&m_model, &AppModel::appLanguageChanged, this, &LanguagePicker::refresh);
    onLanguageChange(m_model, this, [this] { refresh(); });
}

void LanguagePicker::refresh()
{
    m_refreshing = true;
    for (int i = 0; i < count(); ++i) {
        if (const auto language = appLanguageFromRawValue(itemData(i).toString()))
            setItemText(i, languageDisplayName(*language));
    }
    setCurrentIndex(findData(rawValue(m_model.appLanguage())));
    m_refreshing = false;
}

} // namespace tarni
