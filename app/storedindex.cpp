#include "storedindex.h"

#include <QComboBox>

void restoreCurrentIndex(QComboBox *box, int storedIndex) {
    if (storedIndex < box->count())
        box->setCurrentIndex(storedIndex);
}
