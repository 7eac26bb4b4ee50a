#pragma once

#include "Core/Formatting/FormattingResult.h"
#include "Models/AppClassification.h"
#include "Models/VantroseSettings.h"

#include <QCoro/QCoroTask>
#include <QString>

// One interface for every formatter, so the pipeline can hold any of them.
// `format` may throw FormattingError or FormatterRequestError. Arguments are taken by value:
// the coroutine outlives its caller's temporaries.
class TextFormatterProtocol {
public:
    virtual ~TextFormatterProtocol() = default;

    virtual QCoro::Task<FormattingResult> format(QString rawText, AppContext context, VantroseSettings settings) = 0;
    virtual QString formatterName() const = 0;
};
