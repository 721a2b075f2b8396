// Shared helpers of the application tests: polling with a deadline, driving
// modal dialogs from a timer, finding widgets by their object names, and
// letting a test see a window end its program.
#ifndef VD_TESTS_SUPPORT_QT_QTTESTSUPPORT_H
#define VD_TESTS_SUPPORT_QT_QTTESTSUPPORT_H

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QString>
#include <QTextBrowser>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The child of the given class and object name, as a user of the toolkit's
// test tools reaches it; a missing one fails the test and gives null.
template <typename T>
T* Child(const QWidget& parent, const char* name)
{
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// testkit::WaitUntil with the toolkit's events handled between polls.
bool WaitUntil(const std::function<bool()>& condition, int deadlineMs = 20000);

// This process is to end by a window closed while its report outlives the
// close wait, as a death test's child does: that end then writes this mark
// to standard error and keeps the window's own exit status, where otherwise
// the test program ends as failed.
inline constexpr char kEndedDuringReportMark[] = "the window ended the program during a report";
void ExpectEndDuringReport();

// Arms a poll that, once a modal widget is active, hands it to handler
// (which must close it). handled is set when it ran.
class ModalDriver {
public:
    explicit ModalDriver(std::function<void(QWidget*)> handler, int deadlineMs = 20000);
    ~ModalDriver();
    bool handled() const { return *handled_; }

private:
    QTimer* timer_;
    std::shared_ptr<bool> handled_;
};

// One run of text with uniform formatting in a text view.
struct Fragment {
    std::string text;
    std::string colour;  // "#rrggbb"
    int weight;
    bool operator==(const Fragment& other) const
    {
        return text == other.text && colour == other.colour && weight == other.weight;
    }
};
std::vector<Fragment> Fragments(const QTextBrowser* view);
std::string Describe(const std::vector<Fragment>& fragments);

#endif
