// The extension's UNO component: the worksheet function as Calc calls it (described to Calc by
// CalcAddIns.xcu), and the job that, when a document is loaded, re-enters the TEXTBRAID formulas
// that Calc could not resolve (an .xlsx names the function as Excel does, which this Calc does
// not map to the add-in on load).
#include <memory>
#include <vector>

#include <uno/lbnames.h>
#include <com/sun/star/beans/NamedValue.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/lang/XServiceName.hpp>
#include <com/sun/star/sheet/FormulaResult.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/task/XJob.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <cppuhelper/implbase2.hxx>
#include <cppuhelper/implbase3.hxx>
#include <cppuhelper/implementationentry.hxx>
#include <cppuhelper/supportsservice.hxx>
#include <org/textbraid/XTextBraid.hpp>

#include "calc/calc_host.h"
#include "core/host/mod_globals.h"
#include "core/worksheet/textbraid.h"

namespace tb::calc {

namespace uno = css::uno;
using rtl::OUString;

namespace {

constexpr char kAddInName[] = "org.textbraid.calc.AddIn";
constexpr char kAddInService[] = "org.textbraid.TextBraidAddIn";
constexpr char kJobName[] = "org.textbraid.calc.FormulaReentry";
constexpr std::int32_t kNameError = 525;  // Calc's #NAME?

// Hands the worksheet function this call's application, as the add-in connection does in
// Excel, and takes it back on every path.
class Connected {
  public:
    explicit Connected(ObjectRef application)
        : previous_(std::exchange(modGlobals().gExcelApp, std::move(application))) {}
    ~Connected() { modGlobals().gExcelApp = std::move(previous_); }
    Connected(const Connected&) = delete;
    Connected& operator=(const Connected&) = delete;

  private:
    ObjectRef previous_;
};

class AddIn final : public cppu::WeakImplHelper3<org::textbraid::XTextBraid,
                                                 css::lang::XServiceInfo, css::lang::XServiceName> {
  public:
    explicit AddIn(uno::Reference<uno::XComponentContext> context) : context_(std::move(context)) {}

    uno::Any SAL_CALL TEXTBRAID(const uno::Reference<css::beans::XPropertySet>& caller,
                                const uno::Any& delimiter, const uno::Any& ignoreEmpty,
                                const uno::Any& useFormats,
                                const uno::Reference<css::table::XCellRange>& text1,
                                const uno::Sequence<uno::Any>& texts) override {
        try {
            ObjectRef application = make_application(context_, caller);
            std::vector<Value> params{value_argument(delimiter), value_argument(ignoreEmpty),
                                      value_argument(useFormats),
                                      range_argument(application, text1)};
            for (const uno::Any& text : texts)
                params.push_back(value_argument(text));
            const Connected connected(std::move(application));
            // Calc checks the argument count itself, so the help box is never due here.
            tb::TEXTBRAID function(nullptr);
            return result_of(function(params));
        } catch (...) {
            return result_of(Value::xl_error(xlerr::value));
        }
    }

    OUString SAL_CALL getServiceName() override { return kAddInService; }
    OUString SAL_CALL getImplementationName() override { return kAddInName; }
    sal_Bool SAL_CALL supportsService(const OUString& name) override {
        return cppu::supportsService(this, name);
    }
    uno::Sequence<OUString> SAL_CALL getSupportedServiceNames() override { return services(); }

    static uno::Sequence<OUString> services() {
        uno::Sequence<OUString> names(2);
        names.getArray()[0] = kAddInService;
        names.getArray()[1] = "com.sun.star.sheet.AddIn";
        return names;
    }

  private:
    uno::Reference<uno::XComponentContext> context_;
};

// Re-enters every formula that gives #NAME? and calls TEXTBRAID, so that Calc reads the name
// again, now as the add-in's; a document that was unmodified stays so.
void reenter_formulas(const uno::Reference<css::sheet::XSpreadsheetDocument>& document) {
    uno::Reference<css::container::XIndexAccess> sheets(document->getSheets(),
                                                        uno::UNO_QUERY_THROW);
    uno::Reference<css::util::XModifiable> modifiable(document, uno::UNO_QUERY);
    const bool was_modified = modifiable.is() && modifiable->isModified();
    bool changed = false;
    for (sal_Int32 i = 0, n = sheets->getCount(); i < n; ++i) {
        uno::Reference<css::sheet::XCellRangesQuery> query(sheets->getByIndex(i),
                                                           uno::UNO_QUERY_THROW);
        uno::Reference<css::sheet::XSheetCellRanges> ranges =
            query->queryFormulaCells(css::sheet::FormulaResult::ERROR);
        if (!ranges.is() || ranges->getCount() == 0) continue;
        uno::Reference<css::container::XEnumeration> cells =
            ranges->getCells()->createEnumeration();
        while (cells->hasMoreElements()) {
            uno::Reference<css::table::XCell> cell(cells->nextElement(), uno::UNO_QUERY);
            if (!cell.is() || cell->getError() != kNameError) continue;
            const OUString formula = cell->getFormula();
            if (formula.toAsciiUpperCase().indexOf("TEXTBRAID(") < 0) continue;
            cell->setFormula(formula);
            changed = true;
        }
    }
    if (changed && modifiable.is() && !was_modified) modifiable->setModified(false);
}

class FormulaReentry final
    : public cppu::WeakImplHelper2<css::task::XJob, css::lang::XServiceInfo> {
  public:
    uno::Any SAL_CALL execute(const uno::Sequence<css::beans::NamedValue>& arguments) override {
        try {
            for (const css::beans::NamedValue& argument : arguments) {
                if (argument.Name != "Environment") continue;
                uno::Sequence<css::beans::NamedValue> environment;
                argument.Value >>= environment;
                for (const css::beans::NamedValue& item : environment) {
                    uno::Reference<css::sheet::XSpreadsheetDocument> document(item.Value,
                                                                              uno::UNO_QUERY);
                    if (item.Name == "Model" && document.is()) reenter_formulas(document);
                }
            }
        } catch (...) {
            // A document that cannot be read this way loads as it is.
        }
        return uno::Any();
    }

    OUString SAL_CALL getImplementationName() override { return kJobName; }
    sal_Bool SAL_CALL supportsService(const OUString& name) override {
        return cppu::supportsService(this, name);
    }
    uno::Sequence<OUString> SAL_CALL getSupportedServiceNames() override { return services(); }

    static uno::Sequence<OUString> services() {
        uno::Sequence<OUString> names(1);
        names.getArray()[0] = kJobName;
        return names;
    }
};

uno::Reference<uno::XInterface> SAL_CALL
create_addin(const uno::Reference<uno::XComponentContext>& context) {
    return static_cast<cppu::OWeakObject*>(new AddIn(context));
}

uno::Reference<uno::XInterface> SAL_CALL create_job(const uno::Reference<uno::XComponentContext>&) {
    return static_cast<cppu::OWeakObject*>(new FormulaReentry());
}

OUString SAL_CALL addin_name() {
    return kAddInName;
}
OUString SAL_CALL job_name() {
    return kJobName;
}

const cppu::ImplementationEntry kEntries[] = {
    {create_addin, addin_name, AddIn::services, cppu::createSingleComponentFactory, nullptr, 0},
    {create_job, job_name, FormulaReentry::services, cppu::createSingleComponentFactory, nullptr,
     0},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0},
};

}  // namespace

}  // namespace tb::calc

extern "C" SAL_DLLPUBLIC_EXPORT void* SAL_CALL component_getFactory(const char* name,
                                                                    void* service_manager,
                                                                    void* registry) {
    return cppu::component_getFactoryHelper(name, service_manager, registry, tb::calc::kEntries);
}

extern "C" SAL_DLLPUBLIC_EXPORT void SAL_CALL
component_getImplementationEnvironment(const char** environment, uno_Environment**) {
    *environment = CPPU_CURRENT_LANGUAGE_BINDING_NAME;
}
