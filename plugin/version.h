// The one place the product's version is written: resources, user agent, about box and the release zip take it from here.
#pragma once

#define PARLY_VERSION_MAJOR 2
#define PARLY_VERSION_MINOR 0
#define PARLY_VERSION_PATCH 0
#define PARLY_VERSION_TEXT "2.0.0"
// Major.minor, as the user agent and the dialogs show it.
#define PARLY_VERSION_SHORT "2.0"

#define PARLY_USER_AGENT "ParlyPlugin/" PARLY_VERSION_SHORT
#define PARLY_PRODUCT_TITLE "Parly Plugin v" PARLY_VERSION_SHORT
