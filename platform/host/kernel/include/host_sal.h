// Source annotations of the Windows Driver Kit (SAL and the driver annotations). They carry no
// meaning for the compiler; the subset here is the one mingw-w64's headers also provide, so
// annotated driver code builds the same way for Windows and for the host.
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _In_reads_(s)
#define _In_reads_opt_(s)
#define _In_reads_bytes_(s)
#define _In_reads_bytes_opt_(s)
#define _Out_
#define _Out_opt_
#define _Out_writes_(s)
#define _Out_writes_opt_(s)
#define _Out_writes_bytes_(s)
#define _Out_writes_bytes_opt_(s)
#define _Out_writes_to_(s, c)
#define _Out_writes_bytes_to_(s, c)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_(s)
#define _Inout_updates_bytes_(s)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(expr)
#define _When_(expr, annotation)
#define _At_(target, annotation)
#define _Pre_
#define _Post_
#define _Field_size_(s)
#define _Field_size_bytes_(s)
#define _Function_class_(name)
#define _Use_decl_annotations_
#define _Analysis_assume_(expr)
#define _Printf_format_string_
#define __checkReturn

#define _IRQL_raises_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_restores_
#define _IRQL_saves_
#define __drv_aliasesMem
#define __drv_allocatesMem(kind)
#define __drv_freesMem(kind)
#define __drv_dispatchType(x)
#define __drv_dispatchType_other
#define __drv_maxIRQL(x)
#define __drv_requiresIRQL(x)
#define __drv_raisesIRQL(x)
#define __drv_savesIRQL
#define __drv_restoresIRQL
#define __drv_setsIRQL(x)
#define __drv_when(x, y)
#define __drv_arg(x, y)
#define __drv_in(x)
#define __drv_out(x)
#define __drv_valueIs(x)
#define __drv_useCancelIRQL
