# Read by ctest at its start (see CMakeLists.txt): one entry
# "system.<file>.<test>" for every test function of test_*.py, found by
# reading the files (top-level "def test...", and "def test..." methods of
# "class Test..."), so that pytest runs that test alone, with all its
# parameters. test_registration.py checks these entries against pytest's
# own collection, so that no test can slip through unrun.
file(GLOB system_test_files "${system_test_dir}/test_*.py")
foreach(file IN LISTS system_test_files)
	get_filename_component(module "${file}" NAME_WE)
	file(READ "${file}" text)
	string(REGEX MATCHALL "\n(class [A-Za-z0-9_]+|(async )?def [A-Za-z0-9_]+|    (async )?def test[A-Za-z0-9_]*)"
		definitions "\n${text}")
	# A file whose tests build much (the package) says how long they may
	# take on a busy machine: "TIMEOUT = <seconds>" at its top level.
	set(timeout 300)
	if(text MATCHES "\nTIMEOUT = ([0-9]+)")
		set(timeout ${CMAKE_MATCH_1})
	endif()
	set(class "")
	set(tests "")
	foreach(definition IN LISTS definitions)
		if(definition MATCHES "^\nclass (Test[A-Za-z0-9_]*)$")
			set(class "${CMAKE_MATCH_1}::")
		elseif(definition MATCHES "^\n    (async )?def (test[A-Za-z0-9_]*)$")
			if(class)
				list(APPEND tests "${class}${CMAKE_MATCH_2}")
			endif()
		else()
			set(class "")
			if(definition MATCHES "^\n(async )?def (test[A-Za-z0-9_]*)$")
				list(APPEND tests "${CMAKE_MATCH_2}")
			endif()
		endif()
	endforeach()
	foreach(test IN LISTS tests)
		string(REPLACE "::" "." name "system.${module}.${test}")
		add_test("${name}" /usr/bin/python3 -m pytest -p no:cacheprovider -q "${file}::${test}")
		# Python's compiled modules are kept in the build tree, also where the
		# environment says not to write them: the entries start some hundred
		# interpreters.
		set_tests_properties("${name}" PROPERTIES ENVIRONMENT "${system_test_env}" TIMEOUT ${timeout}
			ENVIRONMENT_MODIFICATION "PYTHONDONTWRITEBYTECODE=unset:;PYTHONPYCACHEPREFIX=set:${system_test_pycache}")
	endforeach()
endforeach()
