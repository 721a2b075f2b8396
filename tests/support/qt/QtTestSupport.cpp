#include "tests/support/qt/QtTestSupport.h"

#include "tests/support/testkit/testkit.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

#include <sstream>

bool WaitUntil(const std::function<bool()>& condition, int deadlineMs)
{
    return testkit::WaitUntil(condition, std::chrono::milliseconds(deadlineMs),
                              [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });
}

ModalDriver::ModalDriver(std::function<void(QWidget*)> handler, int deadlineMs)
    : timer_(new QTimer), handled_(std::make_shared<bool>(false))
{
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    std::shared_ptr<bool> handled = handled_;
    QTimer* timer = timer_;
    timer_->setInterval(5);
    QObject::connect(timer_, &QTimer::timeout, [timer, handled, handler, clock, deadlineMs]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            timer->stop();
            *handled = true;
            handler(modal);
        } else if (clock->elapsed() > deadlineMs) {
            timer->stop();
        }
    });
    timer_->start();
}

ModalDriver::~ModalDriver()
{
    delete timer_;
}

std::vector<Fragment> Fragments(const QTextBrowser* view)
{
    std::vector<Fragment> out;
    const QTextDocument* document = view->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block != document->begin()) {
            // The line feed between blocks belongs to the text before it.
            if (!out.empty())
                out.back().text += "\n";
        }
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            const QTextCharFormat format = fragment.charFormat();
            Fragment piece{fragment.text().toStdString(), format.foreground().color().name().toStdString(),
                           format.fontWeight()};
            if (!out.empty() && out.back().colour == piece.colour && out.back().weight == piece.weight)
                out.back().text += piece.text;
            else
                out.push_back(piece);
        }
    }
    return out;
}

std::string Describe(const std::vector<Fragment>& fragments)
{
    std::ostringstream text;
    for (const Fragment& fragment : fragments)
        text << "[" << fragment.colour << " w" << fragment.weight << " \"" << fragment.text << "\"]";
    return text.str();
}
