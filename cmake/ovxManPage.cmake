# Makes one gzipped manual page from Markdown documents, so that the page
# and the document are the same text:
#   cmake -DSOURCES=a.md;b.md -DOUTPUT=page.N.gz -DTITLE=NAME -DSECTION=N [-DWHATIS="name - what"]
#         -DDATE=YYYY-MM-DD -DVERSION=x.y.z -DGO_MD2MAN=go-md2man -DWORK=folder -P ovxManPage.cmake
# Without WHATIS the one source's title line ("# names - what they do")
# is the page's NAME and its "##" sections are the page's sections; with
# WHATIS each source's title becomes a section and its "##" sections
# subsections. Links keep their text only.
set(text "")
foreach(source IN LISTS SOURCES)
    file(READ ${source} document)
    string(REGEX MATCH "^# ([^\n]*)\n" title "${document}")
    set(title "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "^# [^\n]*\n" "" document "${document}")
    if(WHATIS)
        string(REGEX REPLACE "\n##" "\n###" document "${document}")
        string(APPEND text "## ${title}\n${document}\n")
    else()
        set(WHATIS "${title}")
        string(APPEND text "${document}\n")
    endif()
endforeach()
string(REGEX REPLACE "\n#(#+) " "\n\\1 " text "${text}")
string(REGEX REPLACE "\\[([^]\n]*)\\]\\([^)\n]*\\)" "\\1" text "${text}")
file(WRITE ${WORK}/${TITLE}.${SECTION}.md "% ${TITLE}(${SECTION})\n\n# NAME\n\n${WHATIS}\n\n${text}")
execute_process(COMMAND ${GO_MD2MAN} -in ${WORK}/${TITLE}.${SECTION}.md -out ${WORK}/${TITLE}.${SECTION}
                COMMAND_ERROR_IS_FATAL ANY)
file(READ ${WORK}/${TITLE}.${SECTION} roff)
# go-md2man writes groff's \fC for code, which other formatters do not know,
# a paragraph macro after each heading, and a title line without a date.
string(REPLACE "\\fB\\fC" "\\fB" roff "${roff}")
string(REPLACE "\\fC" "\\fB" roff "${roff}")
string(REGEX REPLACE "(\n\\.SH [^\n]*\n)\\.PP\n" "\\1" roff "${roff}")
string(REGEX REPLACE "(\n\\.SS [^\n]*\n)\\.PP\n" "\\1" roff "${roff}")
# The NAME line as whatis parsers read it: "names \- what they do".
string(REGEX REPLACE "(\n\\.SH NAME\n[^\n]*) - " "\\1 \\\\- " roff "${roff}")
string(TOUPPER "${TITLE}" upper)
string(REGEX REPLACE "\n\\.TH [^\n]*\n"
       "\n.TH \"${upper}\" \"${SECTION}\" \"${DATE}\" \"Zizozo Razarivi ${VERSION}\" \"Zizozo Razarivi Manual\"\n"
       roff "${roff}")
file(WRITE ${WORK}/${TITLE}.${SECTION} "${roff}")
execute_process(COMMAND gzip -9nc INPUT_FILE ${WORK}/${TITLE}.${SECTION} OUTPUT_FILE ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
