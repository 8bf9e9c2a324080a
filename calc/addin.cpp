// The extension's UNO component: the worksheet function as Calc calls it (described to Calc by
// CalcAddIns.xcu), and the job that keeps Excel's name of the function in Excel's files: when a
// document has been loaded it re-enters the TEXTBRAID formulas Calc could not resolve (an .xlsx
// names the function as Excel does, which this Calc does not map to the add-in on load), and
// when a document has been saved as .xlsx it writes Excel's name back where Calc wrote the
// add-in's internal one.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <uno/lbnames.h>
#include <com/sun/star/beans/NamedValue.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/embed/ElementModes.hpp>
#include <com/sun/star/embed/StorageFactory.hpp>
#include <com/sun/star/embed/XStorage.hpp>
#include <com/sun/star/embed/XTransactedObject.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/io/XStream.hpp>
#include <com/sun/star/io/XTruncate.hpp>
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
// How Calc writes a call of the function into an .xlsx (its internal name), and how Excel does.
constexpr char kInternalCall[] = "ORG.TEXTBRAID.TEXTBRAIDADDIN.TEXTBRAID(";
constexpr char kExcelCall[] = "TEXTBRAID(";

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

// Re-enters every formula that gives an error (#NAME?, or an error of its arguments evaluated
// first) and calls TEXTBRAID by the name Excel's files use, so that Calc reads the name again,
// now as the add-in's; a document that was unmodified stays so.
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
            if (!cell.is()) continue;
            // Unresolved, the name stays as the file wrote it; resolved, Calc shows its own.
            const OUString formula = cell->getFormula();
            const OUString upper = formula.toAsciiUpperCase();
            if (upper.indexOf(kExcelCall) < 0 || upper.indexOf(kInternalCall) >= 0) continue;
            cell->setFormula(formula);
            changed = true;
        }
    }
    if (changed && modifiable.is() && !was_modified) modifiable->setModified(false);
}

void commit(const uno::Reference<css::embed::XStorage>& storage) {
    uno::Reference<css::embed::XTransactedObject>(storage, uno::UNO_QUERY_THROW)->commit();
}

// Replaces the add-in's internal name by Excel's in the formulas of every worksheet of a saved
// .xlsx, in place; a file without them is left untouched.
void write_excel_names(const uno::Reference<uno::XComponentContext>& context, const OUString& url) {
    namespace modes = css::embed::ElementModes;
    uno::Sequence<css::beans::PropertyValue> format(1);
    format.getArray()[0].Name = "StorageFormat";
    format.getArray()[0].Value <<= OUString("OFOPXMLFormat");
    uno::Sequence<uno::Any> arguments(3);
    arguments.getArray()[0] <<= url;
    arguments.getArray()[1] <<= modes::READWRITE;
    arguments.getArray()[2] <<= format;
    // The storage factory's only interface is marked deprecated; it is still the way to open
    // a package as storages.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    uno::Reference<css::embed::XStorage> root(
        css::embed::StorageFactory::create(context)->createInstanceWithArguments(arguments),
        uno::UNO_QUERY_THROW);
#pragma GCC diagnostic pop
    if (!root->hasByName("xl")) return;
    uno::Reference<css::embed::XStorage> xl = root->openStorageElement("xl", modes::READWRITE);
    if (!xl->hasByName("worksheets")) return;
    uno::Reference<css::embed::XStorage> sheets =
        xl->openStorageElement("worksheets", modes::READWRITE);
    bool changed = false;
    for (const OUString& name : sheets->getElementNames()) {
        if (!sheets->isStreamElement(name)) continue;
        uno::Reference<css::io::XStream> stream = sheets->openStreamElement(name, modes::READWRITE);
        std::string xml;
        uno::Sequence<sal_Int8> chunk;
        const uno::Reference<css::io::XInputStream> in = stream->getInputStream();
        while (in->readBytes(chunk, 65536) > 0)
            xml.append(reinterpret_cast<const char*>(chunk.getConstArray()),
                       static_cast<std::size_t>(chunk.getLength()));
        std::string fixed;
        fixed.reserve(xml.size());
        std::size_t from = 0;
        for (std::size_t at; (at = xml.find(kInternalCall, from)) != std::string::npos;
             from = at + std::strlen(kInternalCall)) {
            fixed.append(xml, from, at - from);
            fixed += kExcelCall;
        }
        if (from == 0) continue;
        fixed.append(xml, from, std::string::npos);
        const uno::Reference<css::io::XOutputStream> out = stream->getOutputStream();
        uno::Reference<css::io::XTruncate>(out, uno::UNO_QUERY_THROW)->truncate();
        out->writeBytes(uno::Sequence<sal_Int8>(reinterpret_cast<const sal_Int8*>(fixed.data()),
                                                static_cast<sal_Int32>(fixed.size())));
        out->closeOutput();
        changed = true;
    }
    if (!changed) return;
    commit(sheets);
    commit(xl);
    commit(root);
}

// Where a document was saved, when it was saved in Excel's .xlsx format; empty otherwise.
OUString saved_xlsx(const uno::Reference<css::frame::XModel>& model) {
    if (!model.is()) return OUString();
    OUString filter;
    for (const css::beans::PropertyValue& argument : model->getArgs())
        if (argument.Name == "FilterName") argument.Value >>= filter;
    const bool xlsx = filter.startsWith("Calc MS Excel 2007") || filter == "Calc Office Open XML";
    return xlsx ? model->getURL() : OUString();
}

class FormulaReentry final
    : public cppu::WeakImplHelper2<css::task::XJob, css::lang::XServiceInfo> {
  public:
    explicit FormulaReentry(uno::Reference<uno::XComponentContext> context)
        : context_(std::move(context)) {}

    uno::Any SAL_CALL execute(const uno::Sequence<css::beans::NamedValue>& arguments) override {
        try {
            for (const css::beans::NamedValue& argument : arguments) {
                if (argument.Name != "Environment") continue;
                uno::Sequence<css::beans::NamedValue> environment;
                argument.Value >>= environment;
                OUString event;
                uno::Reference<css::frame::XModel> model;
                for (const css::beans::NamedValue& item : environment) {
                    if (item.Name == "EventName") item.Value >>= event;
                    if (item.Name == "Model") item.Value >>= model;
                }
                uno::Reference<css::sheet::XSpreadsheetDocument> document(model, uno::UNO_QUERY);
                if (!document.is()) continue;
                if (event == "OnLoadFinished") reenter_formulas(document);
                const OUString url = saved_xlsx(model);
                if ((event == "OnSaveDone" || event == "OnSaveAsDone") && !url.isEmpty())
                    write_excel_names(context_, url);
            }
        } catch (...) {
            // A document that cannot be handled this way stays as Calc loaded or saved it.
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

  private:
    uno::Reference<uno::XComponentContext> context_;
};

uno::Reference<uno::XInterface> SAL_CALL
create_addin(const uno::Reference<uno::XComponentContext>& context) {
    return static_cast<cppu::OWeakObject*>(new AddIn(context));
}

uno::Reference<uno::XInterface> SAL_CALL
create_job(const uno::Reference<uno::XComponentContext>& context) {
    return static_cast<cppu::OWeakObject*>(new FormulaReentry(context));
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
