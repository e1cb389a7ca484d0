function rc = run_demo_tests()
  rc = run_suite({@t_both_filters_improve_the_phantom});
end

function t_both_filters_improve_the_phantom()
  r = phantom_demo(32, 0.09);
  assert(r.sorvane > r.noisy + 2, sprintf('sorvane %.2f vs noisy %.2f', r.sorvane, r.noisy));
  assert(r.blockdenoise > r.noisy + 2, sprintf('blockdenoise %.2f vs noisy %.2f', r.blockdenoise, r.noisy));
end
