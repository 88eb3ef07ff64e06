#pragma once

#include <QListView>
#include <functional>

namespace movarth {

// The port field's drop-down: the rows of its model (the ports, each with what it is) in a
// pop-up list below the field. Up and Down move, Enter or a click picks, Escape or a click
// elsewhere closes it. A pick hands over the row's name (the model's name role).
class TPortPopup final : public QListView
{
public:
    // nameRole: the model's role holding the name a pick hands over.
    TPortPopup(int nameRole, QWidget* parent);

    // Shows the list below `field`, at least as wide as the field, with `row` current (none
    // when -1).
    void ShowBelow(QWidget* field, int row);

    std::function<void(const QString& name)> OnPick;
    // What the list shows when there is no port.
    static QString EmptyText();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void Pick(const QModelIndex& index);

    int nameRole_;
};

} // namespace movarth
