#pragma once

class QComboBox;

// Makes the stored item current when the box has it. A negative index leaves no item current
// (what was stored when no port was present); an index beyond the list changes nothing.
void restoreCurrentIndex(QComboBox *box, int storedIndex);
