// Resource identifiers of the tool.
#pragma once
