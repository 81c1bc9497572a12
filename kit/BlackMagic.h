#pragma once

#include "kit/DynamicClass.h"

#include <QString>

// Method overrides with callables while the program runs, on one object or on
// a whole class, plus logging dumps of a class's methods and instance
// variables. One object is changed without touching the other instances of
// its class by moving it into a subclass made for it on the spot, named
// "<root class>_$<counter>" with the counter from 666 up; each further
// override of the object stacks one more such subclass. The object's root
// class and counter are kept in two instance variables declared by its first
// subclass. No locking of its own: one object must not be overridden from two
// threads at once.
namespace BlackMagic {

inline const QString kRootClassField = QStringLiteral("ZRTessaline_BlackMagic_rootClass");
inline const QString kSubclassCounterField =
    QStringLiteral("ZRTessaline_BlackMagic_subclassCounter");
inline constexpr int kFirstSubclassCounter = 666;

// Gives the object its own implementation of the selector. When the object
// does not respond to the selector at all, the method is added to its class
// instead, for every instance.
void overrideSelector(DynamicObject& object, const QString& selector, Implementation block);

// Adds the method to the class, for all its instances, unless the class
// defines the selector itself (then nothing changes).
void overrideSelector(DynamicClass* cls, const QString& selector, Implementation block);

// Adds the method to the object's class when the object does not respond to
// the selector; returns the selector in every case.
QString makeSelector(DynamicObject& object, const QString& name, Implementation block);

// Log the class's own methods (selector and type encoding) and instance
// variables (name and type encoding), one line each, between a heading and a
// blank separator.
void dumpMethods(const DynamicClass* cls);
void dumpIvars(const DynamicClass* cls);

} // namespace BlackMagic
