#include "gui/SidebarRootView.h"

#include "app/AppModel.h"
#include "gui/outline/WorkspaceOutlineView.h"

#include <QVBoxLayout>

namespace tarni {

SidebarRootView::SidebarRootView(AppModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    auto *layout = new QVBoxLayout(this);
    m_outline = new WorkspaceOutlineView(model, this);
    layout->addWidget(m_outline);
}

SidebarRootView::~SidebarRootView() = default;

} // namespace tarni
