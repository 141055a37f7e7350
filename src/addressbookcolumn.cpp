#include "addressbookcolumn.h"

#include "chromedialog.h"

#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QSet>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QPushButton *button(const QString &text, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setAccessibleName(text);
    return b;
}

} // namespace

AddressBookColumn::AddressBookColumn(const AddressBook *book, QWidget *parent)
    : QFrame(parent)
    , book(book)
{
    setObjectName(QStringLiteral("sidebar"));
    setFixedWidth(258);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(18, 20, 18, 16);
    column->setSpacing(12);

    auto *logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png"))
                        .scaled(100, 102, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    logo->setAlignment(Qt::AlignCenter);
    column->addWidget(logo);

    auto *eyebrow = new QLabel(tr("ПЕЛОРИН И К"), this);
    eyebrow->setObjectName(QStringLiteral("eyebrow"));
    eyebrow->setAlignment(Qt::AlignCenter);
    column->addWidget(eyebrow);

    auto *newButton = button(tr("+  Новая панель"), this);
    newButton->setObjectName(QStringLiteral("primary"));
    column->addWidget(newButton);

    search = new QLineEdit(this);
    search->setPlaceholderText(tr("Поиск панели, адреса, заметки"));
    search->setAccessibleName(search->placeholderText());
    search->setClearButtonEnabled(true);
    column->addWidget(search);

    tree = new QTreeWidget(this);
    tree->setObjectName(QStringLiteral("addressBook"));
    tree->setAccessibleName(tr("Адресная книга"));
    tree->setColumnCount(1);
    tree->setHeaderHidden(true);
    tree->setIndentation(14);
    tree->setTextElideMode(Qt::ElideRight);
    column->addWidget(tree, 1);

    openButton = button(tr("Открыть панель →"), this);
    openButton->setObjectName(QStringLiteral("primary"));
    column->addWidget(openButton);

    auto *row = new QHBoxLayout;
    editButton = button(tr("Изменить"), this);
    row->addWidget(editButton);
    auto *moreButton = button(tr("Ещё ▾"), this);
    auto *more = new QMenu(moreButton);
    duplicateAction = more->addAction(tr("Дублировать панель"));
    deleteAction = more->addAction(tr("Удалить панель"));
    more->addSeparator();
    QAction *importAction = more->addAction(tr("Импорт адресной книги…"));
    QAction *exportAction = more->addAction(tr("Экспорт без паролей…"));
    moreButton->setMenu(more);
    row->addWidget(moreButton);
    column->addLayout(row);

    auto *exitButton = button(tr("Выход"), this);
    column->addWidget(exitButton);

    auto *footer = new QLabel(tr("Удалённый доступ · 2.0"), this);
    footer->setObjectName(QStringLiteral("muted"));
    column->addWidget(footer);

    connect(newButton, &QPushButton::clicked, this, &AddressBookColumn::newPanelRequested);
    connect(editButton, &QPushButton::clicked, this, &AddressBookColumn::editRequested);
    connect(openButton, &QPushButton::clicked, this, &AddressBookColumn::openRequested);
    connect(tree, &QTreeWidget::itemDoubleClicked, this, &AddressBookColumn::onItemDoubleClicked);
    connect(tree, &QTreeWidget::currentItemChanged, this, &AddressBookColumn::applyEnableRule);
    connect(search, &QLineEdit::textChanged, this, &AddressBookColumn::rebuild);
    connect(duplicateAction, &QAction::triggered, this, &AddressBookColumn::duplicateRequested);
    connect(deleteAction, &QAction::triggered, this, &AddressBookColumn::deleteRequested);
    connect(importAction, &QAction::triggered, this, &AddressBookColumn::importRequested);
    connect(exportAction, &QAction::triggered, this, &AddressBookColumn::exportRequested);
    connect(exitButton, &QPushButton::clicked, this, &AddressBookColumn::exitRequested);
}

bool AddressBookColumn::matches(const PanelProfile &profile, const QString &filter)
{
    const QString text = QStringLiteral("%1 %2 %3 %4")
                             .arg(profile.name, profile.host, profile.group, profile.notes);
    // Qt compares case-insensitively by case folding, so Cyrillic matches too.
    return text.contains(filter.trimmed(), Qt::CaseInsensitive);
}

void AddressBookColumn::rebuild()
{
    const QTreeWidgetItem *current = tree->currentItem();
    const QString currentId = current ? current->data(0, idRole).toString() : QString();
    QSet<QString> collapsed;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        if (!tree->topLevelItem(i)->isExpanded())
            collapsed.insert(tree->topLevelItem(i)->text(0));
    }

    tree->clear();
    const QString filter = search->text().trimmed();
    QHash<QString, QTreeWidgetItem *> headings;
    for (const PanelProfile &profile : *book) {
        if (!matches(profile, filter))
            continue;
        // Exact labels: "Цех" and "цех" are two groups, and an empty group
        // shares its heading with a group literally named like it.
        const QString label = profile.group.isEmpty() ? tr("Без группы") : profile.group;
        QTreeWidgetItem *heading = headings.value(label);
        if (!heading) {
            heading = new QTreeWidgetItem(tree, { label });
            heading->setFlags(heading->flags() & ~Qt::ItemIsSelectable);
            heading->setExpanded(!(filter.isEmpty() && collapsed.contains(label)));
            headings.insert(label, heading);
        }
        auto *item = new QTreeWidgetItem(heading,
            { QStringLiteral("%1\n%2:%3")
                    .arg(profile.name, profile.host, QString::number(profile.port)) });
        item->setData(0, idRole, profile.id);
        item->setToolTip(
            0, plainToolTip(QStringLiteral("%1\n%2").arg(profile.name, profile.notes)));
        item->setSizeHint(0, QSize(190, 54));
        if (!currentId.isEmpty() && profile.id == currentId)
            tree->setCurrentItem(item);
    }
    if (!tree->currentItem() && tree->topLevelItemCount() > 0)
        tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    applyEnableRule();
}

int AddressBookColumn::currentProfileIndex() const
{
    const QTreeWidgetItem *item = tree->currentItem();
    const QString id = item ? item->data(0, idRole).toString() : QString();
    return id.isEmpty() ? -1 : profileIndexById(*book, id);
}

void AddressBookColumn::clearSearch()
{
    search->clear();
}

void AddressBookColumn::setCurrentPanel(const QString &id)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *heading = tree->topLevelItem(i);
        for (int j = 0; j < heading->childCount(); ++j) {
            if (heading->child(j)->data(0, idRole).toString() == id) {
                tree->setCurrentItem(heading->child(j));
                return;
            }
        }
    }
}

void AddressBookColumn::applyEnableRule()
{
    const bool chosen = currentProfileIndex() != -1;
    openButton->setEnabled(chosen);
    editButton->setEnabled(chosen);
    duplicateAction->setEnabled(chosen);
    deleteAction->setEnabled(chosen);
}

void AddressBookColumn::onItemDoubleClicked(QTreeWidgetItem *item)
{
    if (item && !item->data(0, idRole).toString().isEmpty())
        emit openRequested();
}
