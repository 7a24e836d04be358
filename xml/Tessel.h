#pragma once
// The Tessel XML library: document model, parser and writer. It depends on
// nothing else in the program (it has its own text conversions), starts no
// thread and shares no state: a document belongs to the thread that uses it
// (the entry thread for configuration files, the update thread for the
// update service's answers).
#include "xml/XMLContent.h"
#include "xml/XMLDocument.h"
#include "xml/XMLElement.h"
#include "xml/XMLEntities.h"
