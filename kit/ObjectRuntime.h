#pragma once

#include <QString>

class DynamicClass;

// The process-wide class table of the dynamic-object layer. Classes are made
// in two steps, as a pair of calls: allocate (the name is reserved, instance
// variables may still be declared), then register (the class can be looked up
// by name). Classes are never removed. Safe from any thread.
namespace ObjectRuntime {

// "Object", the root of every class made here. Its "description" method
// gives "<ClassName: 0x...>" with the receiver's class and address.
DynamicClass* rootClass();

// A new, unregistered subclass of `superclass` named `name`; nothing when
// the name is taken (by a registered or an allocated class), empty, or when
// the superclass is missing or not registered yet.
DynamicClass* allocateClassPair(DynamicClass* superclass, const QString& name);

// Makes an allocated class visible to lookUpClass and fixes its instance
// variables.
void registerClassPair(DynamicClass* cls);

// The registered class of that name, or nothing.
DynamicClass* lookUpClass(const QString& name);

} // namespace ObjectRuntime
