#pragma once
// The Tessel XML library: document model, parser and writer.
#include "xml/XMLContent.h"
#include "xml/XMLDocument.h"
#include "xml/XMLElement.h"
#include "xml/XMLEntities.h"
