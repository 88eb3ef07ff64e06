#pragma once

#include <QColor>
#include <QWidget>

namespace movarth {

// A filled circle with a black pen, the port indicator.
class TShape final : public QWidget
{
public:
    explicit TShape(QWidget* parent = nullptr);

    QColor BrushColor() const { return brushColor_; }
    void SetBrushColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor brushColor_ = Qt::white;
};

// A lowered line along the right edge of its rectangle: the divider of the main window.
class TBevel final : public QWidget
{
public:
    explicit TBevel(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace movarth
