#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// Answers the next modal dialogs, one handler each in turn, from inside their own event loops,
// each once it is the active window (so that its first field has the focus). A dialog that does
// not come within timeoutMs ends the script instead of hanging the test.
struct ModalScript {
    QList<std::function<void(QWidget *)>> handlers;
    int answered = 0;
    bool finished = false;
};

inline void pollModal(std::shared_ptr<ModalScript> script, int waited, int timeoutMs) {
    QWidget *modal = QApplication::activeModalWidget();
    if (script->answered == script->handlers.size() || (!modal && waited >= timeoutMs)) {
        script->finished = true;
    } else if (modal && modal->isActiveWindow()) {
        // Armed before the handler closes the dialog, so that the next poll runs in the loop of
        // whatever dialog comes next.
        QTimer::singleShot(0, [=] { pollModal(script, 0, timeoutMs); });
        script->handlers.at(script->answered++)(modal);
    } else {
        QTimer::singleShot(10, [=] { pollModal(script, waited + 10, timeoutMs); });
    }
}

inline std::shared_ptr<ModalScript> answerModals(QList<std::function<void(QWidget *)>> handlers,
                                                 int timeoutMs = 5000) {
    auto script = std::make_shared<ModalScript>();
    script->handlers = std::move(handlers);
    QTimer::singleShot(0, [=] { pollModal(script, 0, timeoutMs); });
    return script;
}

// Ends a script before all its dialogs came, so that it answers none of a later test.
inline void stopAnswering(const std::shared_ptr<ModalScript> &script) {
    script->handlers = script->handlers.mid(0, script->answered);
}
